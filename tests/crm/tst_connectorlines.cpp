#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "crmtestsupport.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Bitrix::Connector;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::watch;

namespace {

constexpr int kInterval = 5;

// Which batch failed, and how.
enum class Refusal { None, WholeBatch, OneCommand, ReadingLines };

// The indices of the batch's "cmd[<prefix><i>]" commands, as the portal decoded them, in ascending order.
QList<int> commandIndices(const FakeCrmRequest &request, const QString &prefix)
{
    QList<int> indices;
    const QJsonObject commands = request.params().value("cmd").toObject();
    for (auto it = commands.begin(); it != commands.end(); ++it) {
        if (it.key().startsWith(prefix))
            indices.append(it.key().mid(prefix.size()).toInt());
    }
    std::sort(indices.begin(), indices.end());
    return indices;
}

QList<int> range(int from, int to)
{
    QList<int> list;
    for (int i = from; i < to; ++i)
        list.append(i);
    return list;
}

} // namespace

Q_DECLARE_METATYPE(Refusal)

class tst_ConnectorLines : public ConnectorTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void addLines_data();
    void addLines();
    void deleteLines_data();
    void deleteLines();
    void updateLine_data();
    void updateLine();
    void subscribe_data();
    void subscribe();
    void unbindHandlers_data();
    void unbindHandlers();

private:
    void start(Connector &connector);
    // From the first batch on, the next batch is answered with a refusal.
    void refuseSecondBatch();

};

void tst_ConnectorLines::init()
{
    QVERIFY(setUpPortal());
}

void tst_ConnectorLines::cleanup()
{
    tearDownPortal();
}

void tst_ConnectorLines::start(Connector &connector)
{
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setRequestTimeout(std::chrono::milliseconds(2000));
    connector.start(m_fake->baseUrl(), 1, "admin", "secret", "_l", "en", true, kInterval, 0);
}

void tst_ConnectorLines::refuseSecondBatch()
{
    auto armed = QSharedPointer<bool>::create(false);
    connect(m_fake.data(), &FakeCrmServer::requestReceived, this, [this, armed](const FakeCrmRequest &request) {
        if (request.restMethod() == "batch" && !*armed) {
            *armed = true;
            m_fake->pushRestReply("batch", FakeCrmReply::error(400, "ERROR_BATCH", "refused"));
        }
    });
}

void tst_ConnectorLines::addLines_data()
{
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<Refusal>("refusal");
    QTest::addColumn<QList<QList<int>>>("batches");
    QTest::addColumn<bool>("resolved");

    QStringList many;
    for (int i = 0; i < 120; ++i)
        many.append(QString::number(74950000000LL + i));

    QTest::newRow("120 lines in batches of 50, 50, 20")
        << many << Refusal::None << QList<QList<int>>{range(0, 50), range(50, 100), range(100, 120)} << true;
    QTest::newRow("100 lines in two batches") << QStringList(many.mid(0, 100)) << Refusal::None
                                              << QList<QList<int>>{range(0, 50), range(50, 100)} << true;
    QTest::newRow("50 lines in one batch")
        << QStringList(many.mid(0, 50)) << Refusal::None << QList<QList<int>>{range(0, 50)} << true;
    QTest::newRow("no lines send nothing") << QStringList() << Refusal::None << QList<QList<int>>() << true;
    QTest::newRow("plus sign and blanks reach the portal as written")
        << QStringList{"+74951234567", "8 (495) 123"} << Refusal::None << QList<QList<int>>{range(0, 2)} << true;
    QTest::newRow("a refused batch lets the others go, then rejects")
        << many << Refusal::WholeBatch << QList<QList<int>>{range(0, 50), range(50, 100), range(100, 120)}
        << false;
    QTest::newRow("a refused command rejects") << QStringList(many.mid(0, 60)) << Refusal::OneCommand
                                               << QList<QList<int>>{range(0, 50), range(50, 60)} << false;
}

void tst_ConnectorLines::addLines()
{
    QFETCH(QStringList, numbers);
    QFETCH(Refusal, refusal);
    QFETCH(QList<QList<int>>, batches);
    QFETCH(bool, resolved);

    QStringList added;
    m_fake->setRestHandler("telephony.externalLine.add", [&added, refusal](const QJsonObject &params) {
        const QString number = params.value("NUMBER").toString();
        if (refusal == Refusal::OneCommand && number.endsWith("55"))
            return FakeCrmReply::error(400, "ERROR_ARGUMENT", "number is taken");
        added.append(number);
        return FakeCrmReply::result(QJsonObject{{"ID", QString::number(added.size())}});
    });
    if (refusal == Refusal::WholeBatch)
        refuseSecondBatch();

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const auto outcome = watch(connector.addExternalLines(numbers));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);

    const auto sent = m_fake->restRequests("batch");
    QCOMPARE(sent.size(), batches.size());
    for (int k = 0; k < sent.size(); ++k) {
        QCOMPARE(sent.at(k).verb, QByteArray("POST"));
        QCOMPARE(commandIndices(sent.at(k), "add_ext_line_"), batches.at(k));
    }

    QStringList expected = numbers;
    if (refusal == Refusal::WholeBatch)
        expected = numbers.mid(0, 50) + numbers.mid(100);
    if (refusal == Refusal::OneCommand)
        expected.removeAll(numbers.at(55));
    std::sort(expected.begin(), expected.end());
    std::sort(added.begin(), added.end());
    QCOMPARE(added, expected);

    const QStringList logged = LogCapture::matching("Lines added:");
    if (resolved && !numbers.isEmpty())
        QCOMPARE(logged, QStringList{QStringLiteral("\tLines added: %1").arg(numbers.size())});
    else
        QVERIFY2(logged.isEmpty(), qPrintable(logged.join('\n')));
}

void tst_ConnectorLines::deleteLines_data()
{
    QTest::addColumn<QJsonArray>("portalLines");
    QTest::addColumn<Refusal>("refusal");
    QTest::addColumn<int>("batchCount");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<int>("count");

    QJsonArray lines;
    for (int i = 0; i < 60; ++i)
        lines.append(QJsonObject{{"NUMBER", QString::number(4951000 + i)}, {"NAME", "line"}});
    QJsonArray special{QJsonObject{{"NUMBER", "+74951234567"}, {"NAME", "Main"}},
                       QJsonObject{{"NUMBER", "sip&trunk"}, {"NAME", "Odd"}},
                       QJsonObject{{"NUMBER", "+74951234567"}, {"NAME", "Main again"}}};

    QTest::newRow("every line is deleted as the portal lists it") << special << Refusal::None << 1 << true << 2;
    QTest::newRow("60 lines in two batches") << lines << Refusal::None << 2 << true << 60;
    QTest::newRow("no lines: nothing after the read") << QJsonArray() << Refusal::None << 0 << true << 0;
    QTest::newRow("a failed read deletes nothing") << lines << Refusal::ReadingLines << 0 << false << 0;
    QTest::newRow("a refused batch lets the others go, then rejects") << lines << Refusal::WholeBatch << 2
                                                                       << false << 0;
}

void tst_ConnectorLines::deleteLines()
{
    QFETCH(QJsonArray, portalLines);
    QFETCH(Refusal, refusal);
    QFETCH(int, batchCount);
    QFETCH(bool, resolved);
    QFETCH(int, count);

    if (refusal == Refusal::ReadingLines)
        m_fake->pushRestReply("telephony.externalLine.get", FakeCrmReply::error(400, "ERROR", "refused"));
    m_fake->setRestResult("telephony.externalLine.get", portalLines);
    QStringList deleted;
    m_fake->setRestHandler("telephony.externalLine.delete", [&deleted](const QJsonObject &params) {
        deleted.append(params.value("NUMBER").toString());
        return FakeCrmReply::result(QJsonValue::Null);
    });
    if (refusal == Refusal::WholeBatch)
        refuseSecondBatch();

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const auto outcome = watch(connector.deleteExternalLines());
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);
    if (resolved)
        QCOMPARE(outcome->value, count);

    const auto sent = m_fake->restRequests("batch");
    QCOMPARE(sent.size(), batchCount);
    for (const FakeCrmRequest &batch : sent)
        QCOMPARE(batch.verb, QByteArray("GET"));

    QStringList expected;
    for (const QJsonValue &line : portalLines)
        expected.append(line.toObject().value("NUMBER").toString());
    expected.removeDuplicates();
    if (refusal == Refusal::ReadingLines)
        expected.clear();
    std::sort(expected.begin(), expected.end());
    std::sort(deleted.begin(), deleted.end());
    if (refusal == Refusal::WholeBatch)
        QCOMPARE(deleted.size(), 50); // the refused second batch held the other 10
    else
        QCOMPARE(deleted, expected);

    const QStringList logged = LogCapture::matching("Removed lines count:");
    if (resolved && count > 0)
        QCOMPARE(logged, QStringList{QStringLiteral("Removed lines count: %1").arg(count)});
    else
        QVERIFY(logged.isEmpty());
}

void tst_ConnectorLines::updateLine_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("resolved");

    QTest::newRow("any answer resolves, false too") << 200 << true;
    QTest::newRow("a refusal rejects") << 400 << false;
}

void tst_ConnectorLines::updateLine()
{
    QFETCH(int, status);
    QFETCH(bool, resolved);
    const FakeCrmReply reply = status == 200 ? FakeCrmReply::result(false)
        : status == 0 ? FakeCrmReply::error(400, "ERROR_HANDLER_ALREADY_EXIST", "Handler already binded")
                      : FakeCrmReply::error(status, "ERROR_ARGUMENT", "refused");

    m_fake->pushRestReply("telephony.externalLine.update", reply);
    Connector connector(nullptr, m_client);
    start(connector);
    const auto outcome = watch(connector.updateExternalLine("+74951234567", "Main & back"));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);
    const auto sent = m_fake->restRequests("telephony.externalLine.update");
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().verb, QByteArray("GET"));
    QCOMPARE(sent.first().params().value("NUMBER").toString(), QStringLiteral("+74951234567"));
    QCOMPARE(sent.first().params().value("NAME").toString(), QStringLiteral("Main & back"));
}

void tst_ConnectorLines::subscribe_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QString>("logged"); // the answer in the request's log line

    QTest::newRow("bound") << 200 << true << "\"4_response\":false";
    QTest::newRow("a refused binding rejects") << 400 << false << "\"4_response\":\"rejected\"";
    QTest::newRow("bound at an earlier start: done, no warning, the portal's answer logged")
        << 0 << true << "\"4_response\":{\"error\":\"ERROR_HANDLER_ALREADY_EXIST\"";
}

void tst_ConnectorLines::subscribe()
{
    QFETCH(int, status);
    QFETCH(bool, resolved);
    QFETCH(QString, logged);
    const FakeCrmReply reply = status == 200 ? FakeCrmReply::result(false)
        : status == 0 ? FakeCrmReply::error(400, "ERROR_HANDLER_ALREADY_EXIST", "Handler already binded")
                      : FakeCrmReply::error(status, "ERROR_ARGUMENT", "refused");

    m_fake->pushRestReply("event.bind", reply);
    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const QString handler = "https://pbx.example:8080/event?token=a&b=c";
    const auto outcome = watch(connector.subscribeToEvent("onexternalcallstart", handler));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);
    const auto sent = m_fake->restRequests("event.bind");
    QCOMPARE(sent.size(), 1);
    // The handler carries the key of our event routes: in the body, out of the access logs on the way.
    QCOMPARE(sent.first().verb, QByteArray("POST"));
    QCOMPARE(sent.first().params().value("event").toString(), QStringLiteral("onexternalcallstart"));
    QCOMPARE(sent.first().params().value("handler").toString(), handler);
    QVERIFY(!LogCapture::matching("Subscribe to event").isEmpty());
    QCOMPARE(LogCapture::matching("\"1_request\":\"event.bind\"").filter(logged).size(), 1);
    QCOMPARE(LogCapture::warnings().isEmpty(), status != 400);
}

void tst_ConnectorLines::unbindHandlers_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("readFails");
    QTest::addColumn<bool>("batchFails");
    QTest::addColumn<QStringList>("unbound");
    QTest::addColumn<int>("count");

    const QStringList both{"https://pbx.example/c2c?a=1&b=2", "http://10.0.0.5/start"};
    QTest::newRow("two handlers, one with &, unbound exactly") << "onexternalcallstart" << false << false << both
                                                               << 2;
    QTest::newRow("a name with capitals matches nothing")
        << "OnExternalCallStart" << false << false << QStringList() << 0;
    QTest::newRow("a failed read still sends an empty batch") << "onexternalcallstart" << true << false
                                                             << QStringList() << 0;
    QTest::newRow("a refused batch counts nothing") << "onexternalcallstart" << false << true << QStringList() << 0;
    QStringList many = both;
    for (int i = many.size(); i < 120; ++i)
        many.append(QStringLiteral("https://pbx%1.example/start").arg(i));
    QTest::newRow("120 handlers go in three batches, all unbound") << "onexternalcallstart" << false << false << many
                                                                  << 120;
}

void tst_ConnectorLines::unbindHandlers()
{
    QFETCH(QString, event);
    QFETCH(bool, readFails);
    QFETCH(bool, batchFails);
    QFETCH(QStringList, unbound);
    QFETCH(int, count);

    if (readFails)
        m_fake->pushRestReply("event.get", FakeCrmReply::error(400, "ERROR", "no"));
    if (batchFails)
        m_fake->pushRestReply("batch", FakeCrmReply::error(400, "ERROR", "no"));
    QJsonArray bound{QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", "https://pbx.example/c2c?a=1&b=2"}},
                     QJsonObject{{"event", "ONEXTERNALCALLBACKSTART"}, {"handler", "https://pbx.example/back"}},
                     QJsonObject{{"event", "onExternalCallStart"}, {"handler", "http://10.0.0.5/start"}}};
    for (int i = 2; i < unbound.size(); ++i)
        bound.append(QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", unbound.at(i)}});
    m_fake->setRestResult("event.get", bound);
    QStringList seen;
    m_fake->setRestHandler("event.unbind", [&seen](const QJsonObject &params) {
        seen.append(params.value("event").toString() + " " + params.value("handler").toString());
        return FakeCrmReply::result(QJsonObject{{"count", 1}});
    });

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const auto outcome = watch(connector.unbindEventHandlers(event));
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);
    QCOMPARE(outcome->value, count);

    const int batches = qMax(1, (unbound.size() + 49) / 50);
    QCOMPARE(m_fake->restRequests("batch").size(), batches);
    for (const FakeCrmRequest &batch : m_fake->restRequests("batch"))
        QCOMPARE(batch.verb, QByteArray("POST"));
    QStringList expected;
    for (const QString &handler : unbound)
        expected.append(event + " " + handler);
    // The portal runs a batch's commands in the order of their names.
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    if (!batchFails)
        QCOMPARE(seen, expected);
    QCOMPARE(LogCapture::matching("Unbind handlers count:").size(), batchFails ? 0 : batches);
}

QTEST_GUILESS_MAIN(tst_ConnectorLines)
#include "tst_connectorlines.moc"
