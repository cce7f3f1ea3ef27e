#pragma once

#include "config/manager.h"
#include "entities/call.h"
#include "entities/conversation.h"
#include "entities/recordingfailure.h"
#include "pbx/asterisk/api_sql.h"
#include "pbx/asterisk/celclock.h"
#include "pbx/asterisk/connector.h"
#include "pbx/asterisk/event.h"
#include "pbx/asterisk/eventhandler.h"
#include "pbx/asterisk/statewriter.h"
#include "sqlquerypoll/connector.h"
#include "utils/outagelog.h"
#include "utils/promise.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

#include <chrono>
#include <functional>
#include <optional>

namespace Orvix::SqlQueryPoll {
class Response;
}

namespace Orvix::PBX::Asterisk {

// The PBX link: logs in to the AMI, follows the calls by polling the CEL table of the PBX database
// (saving its position and its call tables in state.json of the generated directory), relays the call
// tracker's events, and carries out call control and database look-ups for the application.
// It never reconnects by itself: a lost or failed AMI connection is reported with shouldStop and the
// owner calls stop() and start(). Main thread only; the SQL workers answer through promises: one
// connection for the CEL poll alone, another for the recording look-ups and ad-hoc statements, so that
// a slow statement never holds up the call events.
class API : public QObject
{
    Q_OBJECT

public:
    API(QObject *parent, const Config::Manager &config);
    ~API() override;

    void start();
    // A non-empty query is run once after the AMI login instead of loading the saved state and polling
    // (a debug run over chosen CEL records); it never moves the saved position.
    void setEventsSql(const QString &sql);
    void stop();

    // The call-control operations reject with a reason in words, for the client that asked: at once
    // when there is no connection to Asterisk (where, and why), else Asterisk's own answer.
    Utils::Promise<void, QString> originate(const QString &from, const QString &to, const QString &lineNumber);
    Utils::Promise<void> callBackOriginate(const QString &to, const QString &lineNumber);
    Utils::Promise<void, QString> customizeAndOriginate(const QHash<QString, QString> &params);
    Utils::Promise<void, QString> hangup(const QString &number);
    Utils::Promise<void, QString> transfer(const QString &number, const QString &destination, bool blind);
    Utils::Promise<void, QString> redirect(const QString &channelId, const QString &destination);
    // The recording file of a finished call, from its CDR row. The service's own look-up (the CRM flow) waits
    // for a database that is away; a public one (a client of the recording route) logs nothing per request
    // in the default category and is rejected at once as unreachable while the database cannot be reached.
    Utils::Promise<QString, Entities::RecordingFailure>
    getRecordingFileName(const QString &callId, const QString &number1, const QString &number2,
                         ApiSql::RecordingLookup lookup = ApiSql::RecordingLookup::Own);

    QList<Entities::Conversation> activeConversations() const;
    QList<Entities::Call> activeCalls() const;

    // The directory that holds state.json; by default "generated" plus the App setting
    // generated_postfix beside the executable, whatever the working directory. A non-empty path
    // replaces it (a test, or a service that keeps its state elsewhere).
    void setGeneratedDirectory(const QString &path);
    // How long an ad-hoc statement or a recording look-up may keep the database silent before it is
    // rejected (60 s unless set). Read at the next connection.
    void setStatementReadTimeout(std::chrono::seconds timeout);
    // An administrator's statement (executeSqlQuery) runs at READ COMMITTED, taking no gap locks on the PBX's
    // tables, and is ended by the server after `limit`, its route's time for an answer (none unless set), or when
    // the link is destroyed. Read at the next start.
    void setAdminStatementTimeLimit(std::chrono::seconds limit);
    // How long Asterisk may take to greet and answer the login (10 s unless set); past it the link
    // asks to be stopped, as when the connection is refused.
    void setAmiAnswerTimeout(std::chrono::milliseconds timeout);
    QString stateFilePath() const;

    // Whether the last shouldStop repeated the failure of the one before, which the link logged already:
    // the owner's own lines about it may stay quiet as well.
    bool isFailureRepeated() const { return m_failureRepeated; }

    // Asked just before the state with this CEL position is handed to its writer: whoever keeps work made of
    // the events up to it saves that work first, so the saved position never runs ahead of it. False: that
    // work could not be saved; the state is left as it is on disk and tried again later.
    using StateGuard = std::function<bool(CelId position)>;
    void setStateGuard(StateGuard guard) { m_stateGuard = std::move(guard); }

    // The time on the PBX's clock, never ahead of it: from the rows read, or before the first one from the state
    // the last run saved; invalid until the link has read either.
    QDateTime pbxTime() const { return m_celClock.earliest(); }

    CelId lastEventId() const { return m_lastEventId; }
    // The CEL row whose processing emits the call event under way; 0 for an event no row made (a call the
    // PBX lost, stale calls dropped).
    CelId currentEventRow() const { return m_currentRow; }
    const EventHandler &eventHandler() const { return m_eventHandler; }
    // The link is up and has read the CEL table to its end since it started: its tables hold what the PBX
    // wrote until a moment ago.
    bool isCaughtUp() const { return m_linkUp && m_caughtUpPollSentAt >= 0; }

public Q_SLOTS:
    void executeSqlQuery(const QString &sql, Orvix::Utils::Promise<QJsonObject, QString> promise);
    // Its caller has given the administrator's statement up: not started, it never runs; running, it is ended on
    // the server.
    void cancelSqlQuery();

Q_SIGNALS:
    void started();
    void callStarted(const Orvix::Entities::Call &call);
    void conversationRequested(const Orvix::Entities::Conversation &conversation);
    void conversationAccepted(const Orvix::Entities::Conversation &conversation);
    void conversationEnded(const Orvix::Entities::Conversation &conversation);
    void callEnded(const Orvix::Entities::Call &call);
    void callTransferred(const QString &callId);
    void originateCustomizationRequest(const QHash<QString, QString> &params,
                                       Orvix::Utils::Promise<QHash<QString, QString>, QString> promise);
    void shouldStop(const QString &reason);
    void stopTimer();

private Q_SLOTS:
    void onConnect();
    void onDisconnect();
    void onConnectionError(const QString &error);
    void onPeersReceived(const QSet<QString> &peers);
    void onCombReceived(const QHash<QString, QString> &features);
    void getEvents();

private:
    // The rows of a poll's answer, in their order.
    QVector<Event> readEvents(SqlQueryPoll::Response &response) const;
    void processEvents(const QVector<Event> &rows);
    // A first start (no saved position) on a CEL table that may hold millions of rows: the poll would
    // scan all of them for rows newer than the history start until one arrives. The first row of about
    // the history start (a minute earlier: ids and times do not rise quite together) is found once, by a
    // binary search over the record ids, and the poll starts just before it. The poll waits until done;
    // a failure leaves the position at 0.
    void findStartPosition();
    // One step of the search between ids `low` and `high`; `found` is the lowest id known to be new
    // enough (0: none yet), `last` the highest id of the table.
    void probeStartPosition(CelId low, CelId high, CelId found, CelId last, int generation);
    void finishStartPosition(CelId position, int generation);
    // Marks the state changed and has it written when the writing pace allows.
    void saveState();
    void writeState();
    QByteArray stateText() const;
    // Hands over what has changed and waits until it is on disk: at a stop the file must be whole.
    void flushState();
    void loadState();
    void requestStop(const QString &reason);
    QString eventsQuery() const;
    // The settings a start reads, but not the connections': the table and column names and the
    // recordings folder are needed before the first start, by the recordings owed from the last run.
    void readSettings();
    // Whether the tracker follows the call (or the call of the leg) and it has not ended.
    bool isCallLive(const QString &callId) const;
    QString channelName(const QString &channelId) const;
    // The most recent active conversation whose internal number is `number`; false when there is none.
    bool findConversation(const QString &number, Entities::Conversation &found) const;
    // Asks the PBX for its live channels, to end those of `calls` it no longer has (it lost them in a
    // crash, and never wrote their end). The answer is applied once the poll has read every CEL row
    // written before it: a call that ended while the link was down ends by its own rows. Calls missing
    // from a list are asked after again a few seconds later, and end when missing from that one too.
    void askLiveChannels(const QStringList &calls);
    void endLostCalls(qint64 querySentAt, int batchSize);
    // The link to Asterisk is lost or stopped now, if it was up.
    void noteLinkLost();

    Config::Manager m_config;
    QTimer *m_pollTimer;
    bool m_busy = false;
    bool m_searchingStart = false;
    SqlQueryPoll::Connector *m_sqlConnector;
    SqlQueryPoll::Connector *m_statementConnector;
    // The administrator's statements (executeSqlQuery): one that runs long holds up nothing of the link's own.
    SqlQueryPoll::Connector *m_adminConnector;
    Connector *m_amiConnector;
    EventHandler m_eventHandler;
    QString m_historyStartDate;
    QMap<QString, QString> m_columnAliases;
    QMap<QString, QString> m_tableAliases;
    QHash<QString, QString> m_originateTemplate;
    QHash<QString, QString> m_callbackTemplate;
    QString m_recordingsDirectory;
    bool m_recordingsByDate = true;
    CelId m_lastEventId = 0;
    CelId m_currentRow = 0;
    StateWriter *m_stateWriter;
    StateGuard m_stateGuard;
    QTimer *m_saveTimer;
    bool m_stateChanged = false;
    // Monotonic time (ms) before which the next write waits, so that a large state is written at a
    // bounded rate.
    qint64 m_nextWriteAt = 0;
    QElapsedTimer m_clock;
    QString m_eventsSql;
    QString m_generatedDirectory;
    // Counts every start() and stop(): a connection error or a CEL batch that belongs to an earlier one
    // is dropped. shouldStop is reported once per start().
    int m_startCount = 0;
    bool m_stopRequested = false;
    QString m_amiAddress;
    // The failure that keeps the link down.
    Utils::OutageLog m_outage;
    bool m_failureRepeated = false;
    // Asks after the calls without any CEL row for a long while.
    QTimer *m_quietCallTimer;
    QSet<QString> m_lostCallCandidates;
    std::optional<QSet<QString>> m_liveChannelIds;
    QDateTime m_liveChannelsListedAt;
    // Monotonic time (ms) from which a poll query reads every row written before the live channels.
    qint64 m_liveChannelsReadFrom = 0;
    // Asks again after the calls missing from the last list.
    QTimer *m_secondListTimer;
    // Logged in since the last start; and when the link to Asterisk was lost or stopped while it was, oldest
    // first, until the list after the next login has been checked: a call up then and gone from that list
    // ended then at the latest (a crash cut the link and the call). Saved with the calls, for a restart.
    bool m_linkUp = false;
    QList<QDateTime> m_linkLosses; // on the PBX's clock
    CelClock m_celClock;
    // Monotonic time (ms) at which the last poll of this start that read to the end of the table was sent;
    // -1 before the first.
    qint64 m_caughtUpPollSentAt = -1;
};

} // namespace Orvix::PBX::Asterisk
