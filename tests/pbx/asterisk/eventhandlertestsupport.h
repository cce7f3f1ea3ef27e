#pragma once

// Shared by the tracker tests: the recorded CEL scenarios, their loader, the recorder of the tracker's
// signals and the capture of its log lines.

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

// Columns every signal row is compared on, in the order of the scenario tables.
// "rings": the leg it rings with for one transfer of its call.
inline const QStringList kSignalColumns{"signal", "id",   "call",    "from",     "to",    "trunk",
                                        "type",   "state", "started", "answered", "ended", "rings"};

inline QStringList warningsSeen;
inline QStringList debugSeen;
inline QtMessageHandler previousHandler = nullptr;

inline void captureWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
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

inline QStringList tableCells(const QString &line)
{
    QStringList cells = line.split(QLatin1Char('|'));
    cells.removeFirst();
    cells.removeLast();
    for (QString &cell : cells)
        cell = cell.trimmed();
    return cells;
}

inline QString numberCell(const QString &number, bool isLocal)
{
    return isLocal ? number + QLatin1Char('*') : number;
}

// One CEL row as the poll hands it over: every column as text.
inline Event eventFromRow(const QHash<QString, QString> &row, const QDate &date)
{
    QString time = row.value("eventtime");
    if (time.size() == 8)
        time = date.toString("yyyy-MM-dd ") + time;
    return Event(row.value("id"), row.value("eventtype"), time, row.value("cid_num"),
                 row.value("exten"), row.value("uniqueid"), row.value("linkedid"),
                 row.value("channame"));
}

inline QList<Event> eventsFromTable(const QStringList &lines, const QDate &date)
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

inline QList<Event> eventsFromJsonLines(const QString &path, QString *error)
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

inline Scenario loadScenario(const QString &path)
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
                timeCell(call.endedAt()),
                QString()};
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
                timeCell(leg.endedAt()),
                leg.ringsWith()};
    }

    QDate m_date;
    QList<QStringList> m_rows;
};

inline QString rowText(const QStringList &row)
{
    return "| " + row.join(" | ") + " |";
}

inline QString dataPath(const QString &name)
{
    return QFINDTESTDATA("data/" + name);
}

inline QList<Event> table(const QString &text, const QDate &date = QDate(2024, 3, 1))
{
    return eventsFromTable(text.split(QLatin1Char('\n')), date);
}

// The saved state built afresh from the tables, to hold against what toJson() keeps up to date.
inline QJsonObject freshState(const EventHandler &handler)
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

inline void replay(EventHandler &handler, const QList<Event> &events)
{
    for (const Event &event : events)
        handler.process(event);
}

// A customer's call answered by 101, still talking: the ground for the cases below.
inline const QString kAnsweredCall = R"(
| id | eventtype  | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START | 10:00:00  | 79161234567 | 74950000000 | 100.0    | 100.0    | SIP/trunk-00000001 |
| 2  | CHAN_START | 10:00:00  | 101         | s           | 100.1    | 100.0    | SIP/101-00000002   |
| 3  | ANSWER     | 10:00:05  | 101         | 101         | 100.1    | 100.0    | SIP/101-00000002   |
)";

// 101's consultation call to 102 (linked id 200.0), answered by 102, while the customer's call waits.
inline const QString kConsultationCall = R"(
| id | eventtype  | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 4  | CHAN_START | 10:00:10  | 101     | 102   | 200.0    | 200.0    | SIP/101-00000003 |
| 5  | CHAN_START | 10:00:10  | 102     | s     | 200.1    | 200.0    | SIP/102-00000004 |
| 6  | ANSWER     | 10:00:12  | 102     | 102   | 200.1    | 200.0    | SIP/102-00000004 |
)";

inline void configureDefault(EventHandler &handler)
{
    handler.setTrunks({"74950000000"});
    handler.setPeers({"101", "102", "103", "trunk"});
}
