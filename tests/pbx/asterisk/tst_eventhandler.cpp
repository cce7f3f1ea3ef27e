#include "entities/clock.h"
#include "pbx/asterisk/eventhandler.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <memory>

using Orvix::Entities::Call;
using Orvix::Entities::Clock;
using Orvix::Entities::Conversation;
using Orvix::PBX::Asterisk::Channel;
using Orvix::PBX::Asterisk::Event;
using Orvix::PBX::Asterisk::EventHandler;

namespace {

// Columns every signal row is compared on, in the order of the scenario tables.
const QStringList kSignalColumns{"signal", "id",   "call",    "from",     "to",   "trunk",
                                 "type",   "state", "started", "answered", "ended"};

QStringList warningsSeen;
QStringList debugSeen;
QtMessageHandler previousHandler = nullptr;

void captureWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        warningsSeen << message;
    else if (type == QtDebugMsg)
        debugSeen << message;
    else if (type != QtDebugMsg && type != QtInfoMsg && previousHandler)
        previousHandler(type, context, message);
}

// Collects every warning and debug line logged while it lives; info lines are dropped.
class WarningCapture
{
public:
    WarningCapture()
    {
        warningsSeen.clear();
        debugSeen.clear();
        previousHandler = qInstallMessageHandler(captureWarnings);
    }
    ~WarningCapture() { qInstallMessageHandler(previousHandler); }
    QStringList warnings() const { return warningsSeen; }
    QStringList debugLines() const { return debugSeen; }
};

QStringList tableCells(const QString &line)
{
    QStringList cells = line.split(QLatin1Char('|'));
    cells.removeFirst();
    cells.removeLast();
    for (QString &cell : cells)
        cell = cell.trimmed();
    return cells;
}

QString numberCell(const QString &number, bool isLocal)
{
    return isLocal ? number + QLatin1Char('*') : number;
}

// One CEL row as the poll hands it over: every column as text.
Event eventFromRow(const QHash<QString, QString> &row, const QDate &date)
{
    QString time = row.value("eventtime");
    if (time.size() == 8)
        time = date.toString("yyyy-MM-dd ") + time;
    return Event(row.value("id"), row.value("eventtype"), time, row.value("cid_num"),
                 row.value("exten"), row.value("uniqueid"), row.value("linkedid"),
                 row.value("channame"));
}

QList<Event> eventsFromTable(const QStringList &lines, const QDate &date)
{
    QList<Event> events;
    QStringList header;
    for (const QString &line : lines) {
        if (!line.trimmed().startsWith(QLatin1Char('|')))
            continue;
        const QStringList cells = tableCells(line.trimmed());
        if (header.isEmpty()) {
            header = cells;
            continue;
        }
        QHash<QString, QString> row;
        for (int i = 0; i < header.size() && i < cells.size(); ++i)
            row.insert(header.at(i), cells.at(i));
        events << eventFromRow(row, date);
    }
    return events;
}

QList<Event> eventsFromJsonLines(const QString &path, QString *error)
{
    QList<Event> events;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot open " + path;
        return events;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        events << Event(QString::number(row.value("id").toVariant().toLongLong()), row.value("eventtype").toString(),
                        row.value("eventtime").toString(), row.value("cid_num").toString(),
                        row.value("exten").toString(), row.value("uniqueid").toString(),
                        row.value("linkedid").toString(), row.value("channame").toString());
    }
    return events;
}

// A scenario file: settings ("key: value"), the CEL rows (a table, or "cel: <file>" for recorded
// rows), the expected signals (a table) and the expected warnings (one per line, "\t" for a tab).
struct Scenario
{
    QStringList trunks;
    QStringList peers;
    QString pickupCode;
    QList<QPair<QString, QString>> originates;
    QDate date;
    qint64 restartAfter = -1;
    qint64 lostAfter = -1; // the PBX crashes after this row: nothing more is written, and no channel is live
    QList<Event> events;
    QList<QStringList> signalRows;
    QStringList warnings;
    QString error;

    // A handler as the service sets it up at start, with the calls it was asked to place.
    std::unique_ptr<EventHandler> makeHandler() const
    {
        auto handler = configured();
        for (const auto &originate : originates)
            handler->addOriginate(originate.first, originate.second);
        return handler;
    }

    // A handler rebuilt from what the given one writes to its state file, as after a service restart.
    std::unique_ptr<EventHandler> restarted(const EventHandler &running) const
    {
        const QByteArray saved = QJsonDocument(running.toJson()).toJson();
        auto handler = configured();
        handler->fromJson(QJsonDocument::fromJson(saved).object());
        return handler;
    }

private:
    std::unique_ptr<EventHandler> configured() const
    {
        auto handler = std::make_unique<EventHandler>();
        handler->setTrunks(trunks);
        handler->setPeers(peers);
        if (!pickupCode.isEmpty())
            handler->setPickupCode(pickupCode);
        return handler;
    }
};

Scenario loadScenario(const QString &path)
{
    Scenario scenario;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        scenario.error = "cannot open " + path;
        return scenario;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QString section;
    QStringList celLines;
    QStringList signalHeader;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line == "cel:" || line == "signals:" || line == "warnings:") {
            section = line.chopped(1);
            continue;
        }
        if (section == "cel") {
            celLines << line;
        } else if (section == "signals") {
            const QStringList cells = tableCells(line);
            if (signalHeader.isEmpty()) {
                signalHeader = cells;
                continue;
            }
            QStringList row;
            for (const QString &column : kSignalColumns)
                row << cells.value(signalHeader.indexOf(column));
            scenario.signalRows << row;
        } else if (section == "warnings") {
            scenario.warnings << QString(line).replace("\\t", "\t");
        } else {
            const int colon = line.indexOf(QLatin1Char(':'));
            const QString key = line.left(colon);
            const QString value = line.mid(colon + 1).trimmed();
            const QStringList words = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (key == "trunks")
                scenario.trunks = words;
            else if (key == "peers")
                scenario.peers = words;
            else if (key == "pickup")
                scenario.pickupCode = value;
            else if (key == "originate")
                scenario.originates << qMakePair(words.value(0), words.value(1));
            else if (key == "date")
                scenario.date = QDate::fromString(value, "yyyy-MM-dd");
            else if (key == "restart after")
                scenario.restartAfter = value.toLongLong();
            else if (key == "lost after")
                scenario.lostAfter = value.toLongLong();
            else if (key == "cel")
                scenario.events = eventsFromJsonLines(QFileInfo(path).dir().filePath(value), &scenario.error);
            else
                scenario.error = "unknown setting: " + line;
        }
    }
    if (!celLines.isEmpty())
        scenario.events = eventsFromTable(celLines, scenario.date);
    return scenario;
}

// Records the tracker's signals as rows of the scenario tables.
class Recorder : public QObject
{
public:
    explicit Recorder(const QDate &date)
        : m_date(date)
    {
    }

    void attach(EventHandler *handler)
    {
        connect(handler, &EventHandler::callStarted, this,
                [this](const Call &call) { m_rows << callRow("callStarted", call); });
        connect(handler, &EventHandler::callEnded, this,
                [this](const Call &call) { m_rows << callRow("callEnded", call); });
        connect(handler, &EventHandler::conversationRequested, this, [this](const Conversation &leg) {
            m_rows << conversationRow("conversationRequested", leg);
        });
        connect(handler, &EventHandler::conversationAccepted, this, [this](const Conversation &leg) {
            m_rows << conversationRow("conversationAccepted", leg);
        });
        connect(handler, &EventHandler::conversationEnded, this, [this](const Conversation &leg) {
            m_rows << conversationRow("conversationEnded", leg);
        });
        connect(handler, &EventHandler::callTransferred, this, [this](const QString &callId) {
            QStringList row{"callTransferred", callId};
            while (row.size() < kSignalColumns.size())
                row << QString();
            m_rows << row;
        });
    }

    QList<QStringList> rows() const { return m_rows; }
    QStringList signalNames() const
    {
        QStringList names;
        for (const QStringList &row : m_rows)
            names << row.first();
        return names;
    }

private:
    QString timeCell(const QDateTime &at) const
    {
        if (!at.isValid())
            return {};
        return at.date() == m_date ? at.toString("HH:mm:ss") : at.toString("yyyy-MM-dd HH:mm:ss");
    }

    QStringList callRow(const QString &signal, const Call &call) const
    {
        return {signal,
                call.id(),
                QString(),
                numberCell(call.from(), call.isFromLocal()),
                numberCell(call.to(), call.isToLocal()),
                call.trunk(),
                Orvix::Entities::callTypeToString(call.type()),
                Orvix::Entities::callStatusToString(call.state()),
                timeCell(call.startedAt()),
                timeCell(call.answeredAt()),
                timeCell(call.endedAt())};
    }

    QStringList conversationRow(const QString &signal, const Conversation &leg) const
    {
        return {signal,
                leg.id(),
                leg.parentChannelId(),
                numberCell(leg.from(), leg.isFromLocal()),
                numberCell(leg.to(), leg.isToLocal()),
                leg.trunk(),
                leg.typeCode(),
                leg.stateCode(),
                timeCell(leg.startedAt()),
                timeCell(leg.answeredAt()),
                timeCell(leg.endedAt())};
    }

    QDate m_date;
    QList<QStringList> m_rows;
};

QString rowText(const QStringList &row)
{
    return "| " + row.join(" | ") + " |";
}

QString dataPath(const QString &name)
{
    return QFINDTESTDATA("data/" + name);
}

QList<Event> table(const QString &text, const QDate &date = QDate(2024, 3, 1))
{
    return eventsFromTable(text.split(QLatin1Char('\n')), date);
}

// The saved state built afresh from the tables, to hold against what toJson() keeps up to date.
QJsonObject freshState(const EventHandler &handler)
{
    QJsonObject calls;
    for (const Call &call : handler.calls()) {
        // An entry without an id could not be restored: it is not saved.
        if (!call.id().isEmpty())
            calls.insert(call.id(), call.toJson());
    }
    QJsonObject channels;
    for (const Channel &channel : handler.channels()) {
        if (!channel.id().isEmpty())
            channels.insert(channel.id(), channel.toJson());
    }
    return {{"calls", calls}, {"channels", channels}};
}

void replay(EventHandler &handler, const QList<Event> &events)
{
    for (const Event &event : events)
        handler.process(event);
}

// A customer's call answered by 101, still talking: the ground for the cases below.
const QString kAnsweredCall = R"(
| id | eventtype  | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START | 10:00:00  | 79161234567 | 74950000000 | 100.0    | 100.0    | SIP/trunk-00000001 |
| 2  | CHAN_START | 10:00:00  | 101         | s           | 100.1    | 100.0    | SIP/101-00000002   |
| 3  | ANSWER     | 10:00:05  | 101         | 101         | 100.1    | 100.0    | SIP/101-00000002   |
)";

// 101's consultation call to 102 (linked id 200.0), answered by 102, while the customer's call waits.
const QString kConsultationCall = R"(
| id | eventtype  | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 4  | CHAN_START | 10:00:10  | 101     | 102   | 200.0    | 200.0    | SIP/101-00000003 |
| 5  | CHAN_START | 10:00:10  | 102     | s     | 200.1    | 200.0    | SIP/102-00000004 |
| 6  | ANSWER     | 10:00:12  | 102     | 102   | 200.1    | 200.0    | SIP/102-00000004 |
)";

void configureDefault(EventHandler &handler)
{
    handler.setTrunks({"74950000000"});
    handler.setPeers({"101", "102", "103", "trunk"});
}

} // namespace

class tst_EventHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::setSource({}); }

    void replayScenario_data();
    void replayScenario();

    void debugTrace_data();
    void debugTrace();

    void internalNumber_data();
    void internalNumber();

    void originateDictionary_data();
    void originateDictionary();

    void unknownCallIsDropped_data();
    void unknownCallIsDropped();

    void attendedTransferWindow_data();
    void attendedTransferWindow();
    void attendedTransferPrefersLiveLeg_data();
    void attendedTransferPrefersLiveLeg();

    void pickupOfLocalCall();
    void relinkedPrimaryChannelMovesItsLeg();
    void relinkedChannelNotMoved_data();
    void relinkedChannelNotMoved();

    void staleCleanup_data();
    void staleCleanup();
    void staleEntryWithoutId();
    void lostCallEnds_data();
    void lostCallEnds();
    void pickupChannelIsCleanedUp_data();
    void pickupChannelIsCleanedUp();

    void saveAndRestore();
    void restoreKeepsOtherEntries();
    void restartAtEveryRow_data();
    void restartAtEveryRow();
};

void tst_EventHandler::replayScenario_data()
{
    QTest::addColumn<QString>("file");
    const QStringList files{
        "real-inbound-answered.txt",
        "real-outbound-answered.txt",
        "real-internal.txt",
        "real-inbound-restart.txt",
        "incoming-missed.txt",
        "incoming-no-internal-number.txt",
        "leg-caller-is-trunk.txt",
        "leg-without-caller-id.txt",
        "leg-without-caller-id-answered.txt",
        "leg-caller-is-unconfigured-number.txt",
        "outgoing-presented-number.txt",
        "click-to-call.txt",
        "click-to-call-unknown.txt",
        "blind-transfer.txt",
        "blind-transfer-id-order.txt",
        "attended-transfer-record-first.txt",
        "attended-transfer-relinked-first.txt",
        "attended-transfer-feature-code.txt",
        "attended-transfer-internal.txt",
        "pickup.txt",
        "pickup-without-caller-id.txt",
        "pickup-after-transfer.txt",
        "ring-group.txt",
        "ring-group-first-phone-answers.txt",
        "ring-group-caller-hangs-up.txt",
        "incoming-never-rang.txt",
        "anonymous-until-answered.txt",
        "unknown-leg-ends.txt",
        "stray-records.txt",
        "repeated-channel-start.txt",
        "consultation-call-joins-whole.txt",
        "blind-transfer-outgoing.txt",
        "attended-transfer-outgoing.txt",
        "attended-transfer-ringing.txt",
        "attended-transfer-through-local.txt",
        "real-attended-transfer-abandoned.txt",
        "real-attended-transfer.txt",
        "attended-transfer-abandoned-same-second.txt",
        "real-attended-transfer-lost.txt",
        "blind-transfer-ring-group.txt",
    };
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << file;
}

void tst_EventHandler::replayScenario()
{
    QFETCH(QString, file);
    const Scenario scenario = loadScenario(dataPath(file));
    QVERIFY2(scenario.error.isEmpty(), qPrintable(scenario.error));
    QVERIFY(!scenario.events.isEmpty());

    Recorder recorder(scenario.date);
    auto handler = scenario.makeHandler();
    recorder.attach(handler.get());

    QStringList warnings;
    {
        WarningCapture capture;
        for (const Event &event : scenario.events) {
            handler->process(event);
            // The state file written after every batch must hold every change.
            if (handler->toJson() != freshState(*handler))
                QFAIL(qPrintable(QString("saved state is behind after CEL row %1").arg(event.id())));
            if (event.id() == scenario.restartAfter) {
                handler = scenario.restarted(*handler);
                recorder.attach(handler.get());
            }
            if (event.id() == scenario.lostAfter) {
                // Missing from two channel lists in a row.
                handler->endLostCalls(handler->calls().keys(), {});
                handler->endLostCalls(handler->calls().keys(), {});
                break;
            }
        }
        warnings = capture.warnings();
    }

    const QList<QStringList> actual = recorder.rows();
    for (int i = 0; i < qMin(actual.size(), scenario.signalRows.size()); ++i) {
        if (actual.at(i) != scenario.signalRows.at(i)) {
            QFAIL(qPrintable(QString("signal %1 differs\n   actual: %2\n expected: %3")
                                 .arg(i + 1)
                                 .arg(rowText(actual.at(i)), rowText(scenario.signalRows.at(i)))));
        }
    }
    for (int i = scenario.signalRows.size(); i < actual.size(); ++i)
        qInfo().noquote() << "unexpected signal:" << rowText(actual.at(i));
    for (int i = actual.size(); i < scenario.signalRows.size(); ++i)
        qInfo().noquote() << "missing signal:" << rowText(scenario.signalRows.at(i));
    QCOMPARE(actual.size(), scenario.signalRows.size());
    QCOMPARE(warnings, scenario.warnings);
}

void tst_EventHandler::debugTrace_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("line");

    QTest::newRow("number from the originate dictionary")
        << "click-to-call.txt" << "[410.0]\tCall started\t\tStart\tTake number from originate dictionary";
    QTest::newRow("leg number from the channel name")
        << "leg-caller-is-trunk.txt"
        << "[310.0]\tConversation requested\t\tOK\tInternal number not found in cid_num. Take number from channame: 102";
    QTest::newRow("no number in the channel name")
        << "unknown-leg-ends.txt"
        << "[370.0]\tConversation requested\t\tError\tFailed to take number from channame: SIP/operator-00000121";
    QTest::newRow("pickup") << "pickup.txt"
                            << "[800.0]\tConversation requested\t\tStart\tThere was an PICKUP in the call. 102 takes the call.";
    QTest::newRow("end of the pickup channel's own call")
        << "pickup.txt" << "[801.0]\tCall ended\t\tStart\t[801.0] Channel engaged in PICKUP";
    QTest::newRow("transfer") << "attended-transfer-record-first.txt"
                              << "[600.0]\tCall transferred\t\tStart\tCall transfer\t600.2 600.0 600.3 CEL ID [7]";
}

void tst_EventHandler::debugTrace()
{
    // The debug lines an administrator follows a call by, in the call-trace layout.
    QFETCH(QString, file);
    QFETCH(QString, line);
    const Scenario scenario = loadScenario(dataPath(file));
    QVERIFY2(scenario.error.isEmpty(), qPrintable(scenario.error));
    auto handler = scenario.makeHandler();
    QStringList lines;
    {
        WarningCapture capture;
        replay(*handler, scenario.events);
        lines = capture.debugLines();
    }
    QVERIFY2(lines.contains(line), qPrintable(lines.join('\n')));
}

void tst_EventHandler::internalNumber_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("internal");
    QTest::addColumn<bool>("logsShort");

    QTest::newRow("configured trunk") << "74950000000" << true << false;
    QTest::newRow("peer name") << "trunk" << true << false;
    QTest::newRow("long peer") << "10001" << true << false;
    QTest::newRow("feature code") << "*21*12345" << true << false;
    QTest::newRow("four characters") << "1234" << true << true;
    QTest::newRow("one character") << "7" << true << true;
    QTest::newRow("five characters") << "12345" << false << false;
    QTest::newRow("customer") << "79161234567" << false << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("trunk is case-sensitive") << "TRUNK" << false << false;
}

void tst_EventHandler::internalNumber()
{
    QFETCH(QString, number);
    QFETCH(bool, internal);
    QFETCH(bool, logsShort);

    EventHandler handler;
    configureDefault(handler);
    handler.setPeers({"101", "trunk", "10001"});
    handler.setFeatureCodes({"*21*12345"});
    if (logsShort)
        QTest::ignoreMessage(QtInfoMsg,
                             qPrintable(QString("Consider number [%1] as internal, because it's short").arg(number)));
    QCOMPARE(handler.isInternalNumber(number), internal);
}

void tst_EventHandler::originateDictionary_data()
{
    QTest::addColumn<QString>("caller");
    QTest::addColumn<QString>("dictionaryFrom");
    QTest::addColumn<QString>("dictionaryTo");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("consumed");

    QTest::newRow("external number") << "101" << "101" << "79161234567" << "79161234567" << 3 << true;
    QTest::newRow("leading zero dropped") << "0101" << "101" << "79161234567" << "79161234567" << 3 << true;
    QTest::newRow("internal number makes it local") << "101" << "101" << "102" << "102" << 1 << true;
    QTest::newRow("another extension's entry") << "102" << "101" << "79161234567" << "" << 0 << false;
}

void tst_EventHandler::originateDictionary()
{
    QFETCH(QString, caller);
    QFETCH(QString, dictionaryFrom);
    QFETCH(QString, dictionaryTo);
    QFETCH(QString, to);
    QFETCH(int, type);
    QFETCH(bool, consumed);

    EventHandler handler;
    configureDefault(handler);
    QCOMPARE(handler.addOriginate(dictionaryFrom, dictionaryTo), dictionaryTo);
    QSignalSpy started(&handler, &EventHandler::callStarted);
    handler.process(Event("1", "CHAN_START", "2024-03-01 10:00:00", caller, "s", "1.0", "1.0",
                          "SIP/" + caller + "-00000001"));

    const Call call = handler.calls().value("1.0");
    QCOMPARE(call.to(), to);
    QCOMPARE(static_cast<int>(call.type()), type);
    QCOMPARE(started.count(), type == 0 ? 0 : 1);
    QCOMPARE(handler.originateDictionary().contains(dictionaryFrom), !consumed);

    handler.removeOriginate(dictionaryFrom);
    QVERIFY(handler.originateDictionary().isEmpty());
}

void tst_EventHandler::unknownCallIsDropped_data()
{
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("warning");

    QTest::newRow("never resolved, dropped at its end") << R"(
| id | eventtype    | eventtime | cid_num     | exten | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
| 2  | CHAN_END     | 10:00:09  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
| 3  | LINKEDID_END | 10:00:09  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
)" << "[1.0]\tCall ended\t\tWarning\tDon't register the call\t";

    QTest::newRow("answered leg that is not outgoing") << R"(
| id | eventtype    | eventtime | cid_num     | exten | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
| 2  | CHAN_START   | 10:00:00  |             | s     | 1.1      | 1.0      | SIP/trunk-00000002 |
| 3  | BRIDGE_ENTER | 10:00:04  |             |       | 1.1      | 1.0      | SIP/trunk-00000002 |
)" << "[1.1]\tConversation accepted\t\tWarning\tDon't register call: ";
}

void tst_EventHandler::unknownCallIsDropped()
{
    QFETCH(QString, rows);
    QFETCH(QString, warning);

    EventHandler handler;
    configureDefault(handler);
    QSignalSpy started(&handler, &EventHandler::callStarted);
    QSignalSpy ended(&handler, &EventHandler::callEnded);
    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);

    QStringList warnings;
    {
        WarningCapture capture;
        replay(handler, table(rows));
        warnings = capture.warnings();
    }
    QVERIFY(!handler.calls().contains("1.0"));
    QCOMPARE(started.count() + ended.count() + requested.count() + accepted.count(), 0);
    QVERIFY2(std::any_of(warnings.cbegin(), warnings.cend(),
                         [&](const QString &text) { return text.startsWith(warning); }),
             qPrintable(warnings.join('\n')));
    // The dropped call's JSON follows the warning text, for the administrator.
    QVERIFY(warnings.join('\n').contains("\"from\":\"79161234567\""));
}

void tst_EventHandler::attendedTransferWindow_data()
{
    QTest::addColumn<QString>("transferTime");
    QTest::addColumn<bool>("moved");

    QTest::newRow("consultation still up") << "10:00:30" << true;
    QTest::newRow("hung 15 s before") << "10:00:40" << true;
    QTest::newRow("hung 16 s before") << "10:00:41" << false;
}

void tst_EventHandler::attendedTransferWindow()
{
    QFETCH(QString, transferTime);
    QFETCH(bool, moved);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    // 101's consultation call to 102; it hangs up at 10:00:25 unless the transfer comes first.
    replay(handler, table(kConsultationCall));
    if (transferTime != "10:00:30")
        handler.process(Event("7", "CHAN_END", "2024-03-01 10:00:25", "102", "", "200.1", "200.0",
                              "SIP/102-00000004"));

    QSignalSpy transferred(&handler, &EventHandler::callTransferred);
    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);
    QStringList warnings;
    {
        WarningCapture capture;
        handler.process(Event("8", "ATTENDEDTRANSFER", "2024-03-01 " + transferTime, "101", "",
                              "100.1", "100.0", "SIP/101-00000002"));
        warnings = capture.warnings();
    }
    QCOMPARE(warnings, QStringList());

    const QStringList expectedIds = moved ? QStringList{"100.1", "100.0", "200.0", "100.0"}
                                          : QStringList{"100.1", "100.0"};
    QStringList ids;
    for (const QList<QVariant> &arguments : transferred)
        ids << arguments.first().toString();
    QCOMPARE(ids, expectedIds);
    QCOMPARE(handler.calls().value("100.0").conversations().contains("200.1"), moved);
    QCOMPARE(requested.count(), moved ? 1 : 0);
    if (moved) {
        QCOMPARE(accepted.count(), 1);
        const Conversation leg = accepted.first().first().value<Conversation>();
        QCOMPARE(leg.callId(), QString("100.0"));
        QCOMPARE(leg.to(), QString("102"));
        // Answered in the consultation call: the answer time goes with the leg.
        QCOMPARE(leg.answeredAt(), QDateTime(QDate(2024, 3, 1), QTime(10, 0, 12)));
        QCOMPARE(handler.channels().value("200.1").parentId(), QString("100.0"));
    }
}

void tst_EventHandler::attendedTransferPrefersLiveLeg_data()
{
    QTest::addColumn<QString>("otherCall");
    // With the hash seed fixed, the first three come before the consultation call in the table.
    for (const char *id : {"153.0", "283.0", "423.0", "300.0"})
        QTest::newRow(id) << QString(id);
}

void tst_EventHandler::attendedTransferPrefersLiveLeg()
{
    // 101 also talked to 103 in a call that ended a few seconds before the transfer: the leg that
    // moves into the customer's call is the consultation with 102 that is still up, whatever order
    // the calls are kept in.
    QFETCH(QString, otherCall);
    const QString otherLeg = otherCall.chopped(1) + "1";
    qSetGlobalQHashSeed(0);
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    replay(handler, table(kConsultationCall));
    replay(handler, table(QString(R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 10 | CHAN_START   | 10:00:14  | 101     | 103   | %1    | %1    | SIP/101-00000010 |
| 11 | CHAN_START   | 10:00:14  | 103     | s     | %2    | %1    | SIP/103-00000011 |
| 12 | ANSWER       | 10:00:15  | 103     | 103   | %2    | %1    | SIP/103-00000011 |
| 13 | CHAN_END     | 10:00:25  | 103     |       | %2    | %1    | SIP/103-00000011 |
| 14 | LINKEDID_END | 10:00:25  | 101     | 103   | %1    | %1    | SIP/101-00000010 |
)").arg(otherCall, otherLeg)));

    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    handler.process(Event("20", "ATTENDEDTRANSFER", "2024-03-01 10:00:30", "101", "", "100.1", "100.0",
                          "SIP/101-00000002"));
    qSetGlobalQHashSeed(-1);

    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.first().first().value<Conversation>().id(), QString("200.1"));
    QVERIFY(!handler.calls().value("100.0").conversations().contains(otherLeg));
    QCOMPARE(handler.channels().value(otherLeg).parentId(), otherCall);
}

void tst_EventHandler::pickupOfLocalCall()
{
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(R"(
| id | eventtype  | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 1  | CHAN_START | 10:00:00  | 101     | 102   | 1.0      | 1.0      | SIP/101-00000001 |
| 2  | CHAN_START | 10:00:00  | 102     | s     | 1.1      | 1.0      | SIP/102-00000002 |
| 3  | CHAN_START | 10:00:04  | 103     | *8    | 2.0      | 2.0      | SIP/103-00000003 |
)"));
    QVERIFY(!handler.calls().contains("2.0"));

    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);
    QTest::ignoreMessage(QtWarningMsg, "[1.0]\tIt is not incoming call. Ignore PICKUP");
    handler.process(Event("4", "PICKUP", "2024-03-01 10:00:06", "102", "", "1.1", "1.0", "SIP/102-00000002"));

    QCOMPARE(requested.count(), 0);
    QCOMPARE(accepted.count(), 0);
    QVERIFY(!handler.calls().value("1.0").conversations().contains("2.0"));
    const Channel picker = handler.channels().value("2.0");
    QCOMPARE(picker.parentId(), QString("1.0"));
    QVERIFY(!picker.isPrimary());
    QVERIFY(picker.isState(Channel::Ended));
}

void tst_EventHandler::relinkedPrimaryChannelMovesItsLeg()
{
    // 101's consultation call (200.0, one leg to 102) joins the customer's call as a whole: its own
    // channel shows up with the customer's linked id, and what moves is its single leg.
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    replay(handler, table(kConsultationCall));
    QSignalSpy transferred(&handler, &EventHandler::callTransferred);
    QSignalSpy ended(&handler, &EventHandler::conversationEnded);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);
    handler.process(Event("7", "BRIDGE_ENTER", "2024-03-01 10:00:20", "101", "", "200.0", "100.0",
                          "SIP/101-00000003"));

    QCOMPARE(transferred.count(), 2);
    QCOMPARE(transferred.at(0).first().toString(), QString("200.0"));
    QCOMPARE(transferred.at(1).first().toString(), QString("100.0"));
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().first().value<Conversation>().callId(), QString("200.0"));
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(accepted.first().first().value<Conversation>().callId(), QString("100.0"));
    QVERIFY(handler.calls().value("100.0").conversations().contains("200.1"));
}

void tst_EventHandler::relinkedChannelNotMoved_data()
{
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("warning");

    // The customer's call (100.0) has two legs when its own channel shows another linked id: there is
    // no single leg to move.
    QTest::newRow("call's own channel, two legs") << R"(
| id | eventtype    | eventtime | cid_num     | exten | uniqueid | linkedid | channame           |
| 4  | CHAN_START   | 10:00:06  | 102         | s     | 100.2    | 100.0    | SIP/102-00000005   |
| 5  | BRIDGE_ENTER | 10:00:08  | 79161234567 |       | 100.0    | 300.0    | SIP/trunk-00000001 |
)" << "[100.0]\tCall transferred\t\tWarning\tChannel [100.0] is not primary and it can not be trasferred. CEL ID [5]";
    QTest::newRow("destination never seen") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 4  | BRIDGE_ENTER | 10:00:08  | 101     |       | 100.1    | 300.0    | SIP/101-00000002 |
)" << "[300.0]\tCall transferred\t\tWarning\tChannel was not registered. CEL ID [4]";
    // A Local channel that starts a call of its own gets no call.
    QTest::newRow("destination without a call") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame                         |
| 4  | CHAN_START   | 10:00:06  | 102     | 103   | 300.0    | 300.0    | Local/103@from-internal-00000001;1 |
| 5  | BRIDGE_ENTER | 10:00:08  | 101     |       | 100.1    | 300.0    | SIP/101-00000002                 |
)" << "[300.0]\tCall transferred\t\tWarning\tCall was not registered. CEL ID [5]";
}

void tst_EventHandler::relinkedChannelNotMoved()
{
    // A record that carries another linked id than its channel's call, when that move cannot be made:
    // it is logged, nothing is announced, and the leg stays where it was.
    QFETCH(QString, rows);
    QFETCH(QString, warning);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    const Conversation before = handler.calls().value("100.0").conversations().value("100.1");

    Recorder recorder(QDate(2024, 3, 1));
    recorder.attach(&handler);
    QStringList warnings;
    {
        WarningCapture capture;
        replay(handler, table(rows));
        warnings = capture.warnings();
    }
    QCOMPARE(warnings, QStringList{warning});
    QStringList names = recorder.signalNames();
    names.removeAll("conversationRequested"); // the second leg of the first row
    QCOMPARE(names, QStringList());
    QCOMPARE(handler.channels().value("100.1").parentId(), QString("100.0"));
    const Conversation after = handler.calls().value("100.0").conversations().value("100.1");
    QCOMPARE(after.toJson(), before.toJson());
}

void tst_EventHandler::staleCleanup_data()
{
    QTest::addColumn<int>("secondsSinceEnd");
    QTest::addColumn<bool>("removed");

    QTest::newRow("29.9 minutes") << 1794 << false;
    QTest::newRow("30.0 minutes") << 1800 << true;
    QTest::newRow("a day") << 86400 << true;
}

void tst_EventHandler::staleCleanup()
{
    QFETCH(int, secondsSinceEnd);
    QFETCH(bool, removed);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(R"(
| id | eventtype    | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | 74950000000 | 1.0      | 1.0      | SIP/trunk-00000001 |
| 2  | CHAN_START   | 10:00:00  | 101         | s           | 1.1      | 1.0      | SIP/101-00000002   |
| 3  | CHAN_END     | 10:00:10  | 101         |             | 1.1      | 1.0      | SIP/101-00000002   |
| 4  | LINKEDID_END | 10:00:10  | 79161234567 | 101         | 1.0      | 1.0      | SIP/trunk-00000001 |
| 5  | CHAN_START   | 10:00:05  | 79161234567 | 74950000000 | 2.0      | 2.0      | SIP/trunk-00000003 |
| 6  | CHAN_START   | 10:00:05  | 102         | s           | 2.1      | 2.0      | SIP/102-00000004   |
)"));
    const QDateTime end(QDate(2024, 3, 1), QTime(10, 0, 10));
    Clock::setSource([=] { return end.addSecs(secondsSinceEnd); });
    handler.removeStale();

    QCOMPARE(handler.calls().contains("1.0"), !removed);
    QCOMPARE(handler.channels().contains("1.0"), !removed);
    QCOMPARE(handler.channels().contains("1.1"), !removed);
    // A call still in progress stays whatever its age.
    QVERIFY(handler.calls().contains("2.0"));
    QVERIFY(handler.channels().contains("2.0"));
    QVERIFY(handler.channels().contains("2.1"));
}

void tst_EventHandler::staleEntryWithoutId()
{
    // An entry whose call has no id of its own (a placeholder the tracker keeps for an untracked
    // call) is removed by the key it is stored under.
    EventHandler handler;
    const QJsonObject state{
        {"calls", QJsonObject{{"5.0", QJsonObject{{"id", ""}, {"state", 3}, {"ended_at", "2024-03-01 10:00:00"}}}}}};
    handler.fromJson(state);
    QVERIFY(handler.calls().contains("5.0"));
    Clock::setSource([] { return QDateTime(QDate(2024, 3, 1), QTime(10, 30, 0)); });
    handler.removeStale();
    QVERIFY(handler.calls().isEmpty());
}

void tst_EventHandler::lostCallEnds_data()
{
    QTest::addColumn<int>("minutesQuiet");
    QTest::addColumn<QStringList>("live");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<int>("lists");
    QTest::addColumn<QString>("lateRows"); // read between the first list and the second
    QTest::addColumn<QString>("endedAt");  // empty: never; the call and its leg
    QTest::addColumn<QString>("linkLostAt"); // losses of the link before the first list | before the second

    const QString header = "| id | eventtype | eventtime | cid_num | exten | uniqueid | linkedid | channame |\n";
    QTest::newRow("29 minutes without a row, missing from two lists")
        << 29 << QStringList() << false << 2 << QString() << "10:00:09" << QString();
    // A crash cut the link and the call: they talked until then, not only until the last row (the answer).
    QTest::newRow("up when the link was lost, missing from two lists")
        << 1 << QStringList() << false << 2 << QString() << "10:00:58" << "10:00:58";
    QTest::newRow("the link lost before its last row") << 1 << QStringList() << false << 2 << QString() << "10:00:09"
                                                       << "10:00:07";
    QTest::newRow("the link lost before its last row and after it") << 1 << QStringList() << false << 2 << QString()
                                                                    << "10:00:58" << "10:00:07 10:00:58 10:01:30";
    // Gone at the first loss: a later one, or a loss after a list that missed it already, is no later end.
    QTest::newRow("the link lost again before the second list") << 1 << QStringList() << false << 2 << QString()
                                                                << "10:00:58" << "10:00:58|10:01:30";
    QTest::newRow("missing from a list, then the link lost") << 1 << QStringList() << false << 2 << QString()
                                                             << "10:00:09" << "|10:01:30";
    QTest::newRow("30 minutes, missing from two lists")
        << 30 << QStringList() << true << 2 << QString() << "10:00:09" << QString();
    QTest::newRow("30 minutes, missing from one list only")
        << 30 << QStringList() << true << 1 << QString() << "" << QString();
    QTest::newRow("its leg still up") << 30 << QStringList{"100.1"} << true << 2 << QString() << "" << QString();
    QTest::newRow("its linked id still up")
        << 40 << QStringList{"100.0", "999.0"} << true << 2 << QString() << "" << QString();
    // It hung up just before the list, and its rows were written late: its own rows end it.
    QTest::newRow("missing from one list, its end rows arrive late")
        << 30 << QStringList() << true << 2
        << header + "| 5 | CHAN_END | 10:30:08 | 101 | | 100.1 | 100.0 | SIP/101-00000002 |\n"
                    "| 6 | CHAN_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
                    "| 7 | LINKEDID_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
        << "10:30:08" << QString();
    QTest::newRow("missing from one list, rows of another call stamped past it")
        << 30 << QStringList() << true << 1
        << header + "| 5 | CHAN_START | 10:30:11 | 79160000000 | 74950000000 | 300.0 | 300.0 | SIP/trunk-00000005 |\n"
        << "10:00:09" << QString();
    QTest::newRow("ended as lost, its own end rows after")
        << 30 << QStringList() << true << 1
        << header + "| 5 | CHAN_START | 10:30:11 | 79160000000 | 74950000000 | 300.0 | 300.0 | SIP/trunk-00000005 |\n"
                    "| 6 | CHAN_END | 10:30:08 | 101 | | 100.1 | 100.0 | SIP/101-00000002 |\n"
                    "| 7 | CHAN_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
                    "| 8 | LINKEDID_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
        << "10:00:09" << QString();
}

void tst_EventHandler::lostCallEnds()
{
    // A call the PBX lost (a crash) has no end rows: asked after once the PBX lists its channels (after
    // a login, or when no row came for 30 minutes), it ends at its last row as an ordinary end would,
    // once the list is sure of it. A call that only seemed lost ends once, by its own rows.
    QFETCH(int, minutesQuiet);
    QFETCH(QStringList, live);
    QFETCH(bool, quiet);
    QFETCH(int, lists);
    QFETCH(QString, lateRows);
    QFETCH(QString, endedAt);
    QFETCH(QString, linkLostAt);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall + "| 4 | DTMF | 10:00:09 | 101 | | 100.1 | 100.0 | SIP/101-00000002 |\n"));
    Clock::setSource([=] { return QDateTime(QDate(2024, 3, 1), QTime(10, 0, 9)).addSecs(minutesQuiet * 60); });
    QCOMPARE(handler.quietCalls(), quiet ? QStringList{"100.0"} : QStringList());

    Recorder recorder(QDate(2024, 3, 1));
    recorder.attach(&handler);
    const QSet<QString> liveIds(live.cbegin(), live.cend());
    const auto losses = [&linkLostAt](int list) {
        QList<QDateTime> times;
        for (const QString &time : linkLostAt.section('|', list, list).split(' ', Qt::SkipEmptyParts))
            times << QDateTime(QDate(2024, 3, 1), QTime::fromString(time, "HH:mm:ss"));
        return times;
    };
    handler.endLostCalls({"100.0", "555.0"}, liveIds, Clock::now(), losses(0));
    if (!lateRows.isEmpty())
        replay(handler, table(lateRows));
    if (lists > 1)
        handler.endLostCalls(handler.quietCalls() + QStringList{"555.0"}, liveIds, Clock::now(), losses(1));
    QCOMPARE(handler.toJson(), freshState(handler));

    QStringList endTimes;
    for (const QStringList &row : recorder.rows())
        endTimes << (row.first().endsWith("Ended") ? row.last() : QString());
    endTimes.removeAll(QString());
    QCOMPARE(endTimes, endedAt.isEmpty() ? QStringList() : (QStringList{endedAt, endedAt}));
    QCOMPARE(recorder.signalNames().count("conversationEnded"), endedAt.isEmpty() ? 0 : 1);
    QCOMPARE(handler.channels().value("100.1").isState(Channel::Ended), !endedAt.isEmpty());
    if (!endedAt.isEmpty()) // ended once: asked again, nothing more
        QCOMPARE(handler.endLostCalls({"100.0"}, {}), 0);
}

void tst_EventHandler::pickupChannelIsCleanedUp_data()
{
    QTest::addColumn<QString>("rows");

    QTest::newRow("nothing to pick up") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 1  | CHAN_START   | 10:00:00  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 2  | ANSWER       | 10:00:00  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 3  | CHAN_END     | 10:00:02  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 4  | LINKEDID_END | 10:00:02  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
)";
    QTest::newRow("picked up a ringing call") << R"(
| id | eventtype    | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | 74950000000 | 2.0      | 2.0      | SIP/trunk-00000002 |
| 2  | CHAN_START   | 10:00:00  | 101         | s           | 2.1      | 2.0      | SIP/101-00000003   |
| 3  | CHAN_START   | 10:00:01  | 102         | *8          | 1.0      | 1.0      | SIP/102-00000001   |
| 4  | PICKUP       | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 5  | CHAN_END     | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 6  | CHAN_END     | 10:00:02  | 102         | *8          | 1.0      | 2.0      | SIP/102-00000001   |
| 7  | LINKEDID_END | 10:00:02  | 102         | *8          | 1.0      | 1.0      | SIP/102-00000001   |
| 8  | CHAN_END     | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
| 9  | LINKEDID_END | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
)";
    QTest::newRow("picked up by a phone without caller id") << R"(
| id | eventtype    | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | 74950000000 | 2.0      | 2.0      | SIP/trunk-00000002 |
| 2  | CHAN_START   | 10:00:00  | 101         | s           | 2.1      | 2.0      | SIP/101-00000003   |
| 3  | CHAN_START   | 10:00:01  |             | *8          | 1.0      | 1.0      | IAX2/103-7560      |
| 4  | ANSWER       | 10:00:01  |             | *8          | 1.0      | 1.0      | IAX2/103-7560      |
| 5  | PICKUP       | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 6  | CHAN_END     | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 7  | CHAN_END     | 10:00:02  |             | *8          | 1.0      | 2.0      | IAX2/103-7560      |
| 8  | LINKEDID_END | 10:00:02  |             | *8          | 1.0      | 1.0      | IAX2/103-7560      |
| 9  | CHAN_END     | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
| 10 | LINKEDID_END | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
)";
    QTest::newRow("picked up from a call started before the tracker watched") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 1  | CHAN_START   | 10:00:01  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 2  | PICKUP       | 10:00:02  | 101     |       | 2.1      | 2.0      | SIP/101-00000003 |
| 3  | CHAN_END     | 10:00:02  | 102     | *8    | 1.0      | 2.0      | SIP/102-00000001 |
| 4  | LINKEDID_END | 10:00:02  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
)";
}

void tst_EventHandler::pickupChannelIsCleanedUp()
{
    // Whether or not it found a call to pick up, the channel that dialled the pickup code ends and
    // leaves the tables (and the saved state) with the stale cleanup like every other channel.
    QFETCH(QString, rows);
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(rows));
    QVERIFY(handler.channels().value("1.0").isState(Channel::Ended));

    Clock::setSource([] { return QDateTime(QDate(2024, 3, 1), QTime(10, 30, 2)); });
    handler.removeStale();
    QCOMPARE(handler.channels().keys(), QStringList());
    QCOMPARE(handler.calls().keys(), QStringList());
}

void tst_EventHandler::saveAndRestore()
{
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    const QJsonObject saved = handler.toJson();
    QCOMPARE(saved.value("calls").toObject().keys(), QStringList{"100.0"});
    QCOMPARE(saved.value("channels").toObject().keys(), (QStringList{"100.0", "100.1"}));

    EventHandler restored;
    restored.fromJson(QJsonDocument::fromJson(QJsonDocument(saved).toJson()).object());
    QCOMPARE(restored.toJson(), saved);
    QCOMPARE(restored.channels().value("100.1"), handler.channels().value("100.1"));
    QCOMPARE(restored.calls().value("100.0").toJson(), handler.calls().value("100.0").toJson());

    EventHandler empty;
    EventHandler emptyRestored;
    emptyRestored.fromJson(empty.toJson());
    QVERIFY(emptyRestored.calls().isEmpty());
    QVERIFY(emptyRestored.channels().isEmpty());
}

void tst_EventHandler::restoreKeepsOtherEntries()
{
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));

    Channel other("7.0", "7.0", "102", "79161234567", "SIP/102-00000009");
    const QJsonObject state{
        {"channels", QJsonObject{{"ignored key", other.toJson()}, {"", Channel().toJson()}}},
        {"calls", QJsonObject{{"", QJsonObject{{"id", "x"}}}}},
    };
    handler.fromJson(state);
    QCOMPARE(handler.channels().size(), 3);
    QCOMPARE(handler.channels().value("7.0").caller(), QString("102"));
    QCOMPARE(handler.calls().keys(), QStringList{"100.0"});
    handler.fromJson(QJsonObject());
    QCOMPARE(handler.channels().size(), 3);
}

void tst_EventHandler::restartAtEveryRow_data()
{
    replayScenario_data();
}

void tst_EventHandler::restartAtEveryRow()
{
    // A service restart may fall between any two CEL batches: the tracker rebuilt from its saved
    // state must go on exactly as the one that kept running, never announcing a call twice nor
    // losing a step of it.
    QFETCH(QString, file);
    const Scenario scenario = loadScenario(dataPath(file));
    QVERIFY2(scenario.error.isEmpty(), qPrintable(scenario.error));

    const auto run = [&scenario](int restartAfter) {
        Recorder recorder(scenario.date);
        auto handler = scenario.makeHandler();
        recorder.attach(handler.get());
        WarningCapture capture;
        for (int i = 0; i < scenario.events.size(); ++i) {
            handler->process(scenario.events.at(i));
            if (i == restartAfter) {
                handler = scenario.restarted(*handler);
                recorder.attach(handler.get());
            }
        }
        return recorder.rows();
    };

    const QList<QStringList> uninterrupted = run(-1);
    for (int row = 0; row + 1 < scenario.events.size(); ++row) {
        const QList<QStringList> restarted = run(row);
        for (int i = 0; i < qMin(restarted.size(), uninterrupted.size()); ++i) {
            if (restarted.at(i) != uninterrupted.at(i)) {
                QFAIL(qPrintable(QString("restart after CEL row %1: signal %2 differs\n   actual: %3\n expected: %4")
                                     .arg(scenario.events.at(row).id())
                                     .arg(i + 1)
                                     .arg(rowText(restarted.at(i)), rowText(uninterrupted.at(i)))));
            }
        }
        QVERIFY2(restarted.size() == uninterrupted.size(),
                 qPrintable(QString("restart after CEL row %1: %2 signals instead of %3")
                                .arg(scenario.events.at(row).id())
                                .arg(restarted.size())
                                .arg(uninterrupted.size())));
    }
}

QTEST_GUILESS_MAIN(tst_EventHandler)
#include "tst_eventhandler.moc"
