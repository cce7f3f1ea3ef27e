#include "actions/getlog.h"
#include "actions/logreader.h"
#include "httptestclient.h"
#include "utils/logger.h"
#include "utils/msgbuilder.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Orvix;
using Orvix::Utils::MsgBuilder;

// The log is process-wide: this executable writes one through the service's logger and reads it back
// through /get_log.
class tst_GetLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void filters_data();
    void filters();
    void windowStartsInsideALine();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Tests::HttpTestClient> m_client;
    std::unique_ptr<Actions::GetLog> m_action;
};

void tst_GetLog::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_client = std::make_unique<Tests::HttpTestClient>();
    QVERIFY(m_client->isListening());
    m_action = std::make_unique<Actions::GetLog>();

    Utils::Logger::setLogFileName(m_dir.filePath("calvena.log"));
    Utils::Logger::setShowFrom("debug");
    Utils::Logger::init(QString());
    qInfo().noquote() << MsgBuilder("1700000000.1", MsgBuilder::CallStarted, MsgBuilder::NoChildTask)
                             .build(MsgBuilder::Start, "Incoming call started [1700000000.1]");
    qDebug().noquote() << MsgBuilder("1700000000.2", MsgBuilder::CallStarted, MsgBuilder::EntitySearch)
                              .build(MsgBuilder::Ok, "Entity found\tfor 200");
    qWarning() << "AMI connection lost";
    // A caller number from CEL written to forge a critical entry of its own: one entry, at its own level.
    qInfo().noquote() << "Caller 555\n[2026-12-07 10:00:00.000 UTC]\tcritical\tforged";
    qDebug().noquote() << MsgBuilder("1700000000.1", MsgBuilder::ConversationAccepted, MsgBuilder::CallCardShow)
                              .build(MsgBuilder::Error, "Card not shown:\nline two of the answer");
    qCritical().noquote() << MsgBuilder("1700000000.2", MsgBuilder::CallEnded, MsgBuilder::CallEndRegister)
                                 .build(MsgBuilder::Error, "Server error");
    qInfo().noquote() << MsgBuilder("1700000000.1", MsgBuilder::CallEnded, MsgBuilder::NoChildTask)
                             .build(MsgBuilder::Yes, "Summary of the call");
    qInfo().noquote() << MsgBuilder().build(MsgBuilder::Ok, "Originated 101 200");
}

void tst_GetLog::filters_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("one call's trace, oldest first")
        << "call_id=1700000000.1" << 200
        << QStringList{"Incoming call started [1700000000.1]", "Card not shown:\\nline two of the answer",
                       "Summary of the call"};
    QTest::newRow("the last two of a call") << "call_id=1700000000.1&count=2" << 200
                                            << QStringList{"Card not shown:\\nline two of the answer",
                                                           "Summary of the call"};
    QTest::newRow("warnings and above") << "level=warning" << 200
                                        << QStringList{"AMI connection lost", "Server error"};
    QTest::newRow("a call at a level") << "call_id=1700000000.2&level=info" << 200 << QStringList{"Server error"};
    QTest::newRow("text, in any case") << "text=ORIGINATED" << 200 << QStringList{"Originated 101 200"};
    QTest::newRow("text in a task name") << "text=call%20card" << 200
                                         << QStringList{"Card not shown:\\nline two of the answer"};
    QTest::newRow("an unknown call") << "call_id=1.2" << 200 << QStringList();
    QTest::newRow("the last entry") << "count=1" << 200 << QStringList{"Originated 101 200"};
    QTest::newRow("unknown level") << "level=loud" << 400 << QStringList();
    QTest::newRow("count of zero") << "count=0" << 400 << QStringList();
    QTest::newRow("count that is no number") << "count=ten" << 400 << QStringList();
}

void tst_GetLog::filters()
{
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(QStringList, messages);

    const Tests::HttpAnswer answer = m_client->request("/get_log?" + query, true);
    QCOMPARE(answer.status, status);
    if (status != 200)
        return;
    QStringList got;
    for (const QJsonValue &entry : answer.json().value("result").toArray())
        got << entry.toObject().value("message").toString();
    QCOMPARE(got, messages);
}

void tst_GetLog::windowStartsInsideALine()
{
    // A read window that begins in the middle of an entry drops that partial entry, whatever it holds.
    const QString path = m_dir.filePath("window.log");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[2026-12-07 10:00:00.000 UTC]\tinfo\t[1.1]\tCall started\t\tStart\tfirst\n"
               "[2026-12-07 10:00:01.000 UTC]\tdebug\t[1.2]\tCall ended\tCall end register\tOK\tsecond\n");
    file.close();
    QVector<Actions::LogEntry> entries;
    QString error;
    QVERIFY(Actions::LogReader::read(path, Actions::LogFilter(), &entries, &error, file.size() - 20));
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().callId, QStringLiteral("1.2"));
    QCOMPARE(entries.first().childTask, QStringLiteral("Call end register"));
    QCOMPARE(entries.first().status, QStringLiteral("OK"));
    QCOMPARE(entries.first().time, QStringLiteral("2026-12-07 10:00:01.000 UTC"));
}

QTEST_GUILESS_MAIN(tst_GetLog)
#include "tst_getlog.moc"
