#include "pbx/asterisk/api.h"

#include "config/generateddirectory.h"
#include "config/recordingsdirectory.h"
#include "entities/clock.h"
#include "entities/entities.h"
#include "pbx/asterisk/api_sql.h"
#include "sqlquerypoll/request.h"
#include "sqlquerypoll/response.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <utility>

namespace Orvix::PBX::Asterisk {

namespace {

// Every poll query and batch, for following the poll when QT_LOGGING_RULES enables it.
Q_LOGGING_CATEGORY(lcPbxPoll, "pbx.poll", QtInfoMsg)

constexpr std::chrono::milliseconds kPollInterval{100};
// The pace of the state file under load: each write is followed by a pause as long as writing its size
// at this rate takes. A small state is written after every batch; ten thousand tracked calls (some
// 10 MB) about once a second, instead of a hundred megabytes a second.
constexpr qint64 kStateBytesPerSecond = 8 * 1000 * 1000;
// A state whose events' work could not be saved waits this long before it is tried again.
constexpr std::chrono::milliseconds kDeferredStateRetry{1000};

// CEL rows are not stamped in strict id order: the PBX stamps an event when it happens and writes the
// row a moment later, in whole seconds, so a row of the history start's second may come just before rows
// of the second before. The clean-start search looks for rows this much older than the history start
// (the poll itself still leaves them out), so that no such row ends up below its position.
constexpr std::chrono::seconds kStartSearchMargin{60};

// How often the calls without any CEL row for a long while are asked after.
constexpr std::chrono::minutes kQuietCallCheck{5};
// How long after a channel list that missed a call the PBX is asked again: long enough for the end rows of a
// call that hung up just before the list to be read, short enough for the employee's card and the CRM call
// of a call the PBX lost to close within seconds.
constexpr std::chrono::seconds kSecondListDelay{5};

const QString kSqlConnectionName = QStringLiteral("vav2ora_pbx_interface");
const QString kStatementConnectionName = QStringLiteral("vav2ora_pbx_statements");
const QString kAdminConnectionName = QStringLiteral("vav2ora_pbx_admin_statements");
const QString kStateFileName = QStringLiteral("state.json");
const QString kPreviousEventId = QStringLiteral("previous_event_id");
// The losses of the link on the PBX's clock; a file of an earlier version holds them on this host's clock.
const QString kLinkLosses = QStringLiteral("cel_link_lost_at");
const QString kHostLinkLosses = QStringLiteral("link_lost_at");


QString stringOr(const QJsonObject &section, const QString &key, const QString &fallback)
{
    const QJsonValue value = section.value(key);
    return value.isString() ? value.toString() : fallback;
}

int intOr(const QJsonObject &section, const QString &key, int fallback)
{
    const QJsonValue value = section.value(key);
    return value.isDouble() ? value.toInt() : fallback;
}

// The history start less the search margin, in the same text form; a text of another form as it is.
QString startSearchDate(const QString &historyStart)
{
    // Read as UTC: wall-clock arithmetic on the PBX's own stamps, with no time zone (nor a gap of its
    // daylight-saving change) to apply.
    const QString date = historyStart.section(QLatin1Char(' '), 0, 0);
    const QString time = historyStart.section(QLatin1Char(' '), 1);
    const QDateTime start(QDate::fromString(date, QStringLiteral("yyyy-MM-dd")),
                          QTime::fromString(time, QStringLiteral("HH:mm:ss")), Qt::UTC);
    if (!start.isValid())
        return historyStart;
    return start.addSecs(-kStartSearchMargin.count()).toString(Entities::DATE_TIME_FORMAT);
}

} // namespace

API::API(QObject *parent, const Config::Manager &config)
    : QObject(parent)
    , m_config(config)
    , m_pollTimer(new QTimer(this))
    , m_sqlConnector(new SqlQueryPoll::Connector(kSqlConnectionName, this))
    , m_statementConnector(new SqlQueryPoll::Connector(kStatementConnectionName, this))
    , m_adminConnector(new SqlQueryPoll::Connector(kAdminConnectionName, this))
    , m_amiConnector(new Connector(this))
    , m_stateWriter(new StateWriter(this))
    , m_saveTimer(new QTimer(this))
    , m_quietCallTimer(new QTimer(this))
    , m_secondListTimer(new QTimer(this))
{
    // Now rather than at the first start: the CRM side may ask for a recording before the link runs.
    readSettings();
    m_quietCallTimer->setInterval(kQuietCallCheck);
    connect(m_quietCallTimer, &QTimer::timeout, this,
            [this] { askLiveChannels(m_eventHandler.quietCalls(m_celClock.earliest())); });
    m_secondListTimer->setSingleShot(true);
    m_secondListTimer->setInterval(kSecondListDelay);
    connect(m_secondListTimer, &QTimer::timeout, this, [this] { askLiveChannels(m_eventHandler.missingCalls()); });
    m_clock.start();
    m_saveTimer->setSingleShot(true);
    connect(m_saveTimer, &QTimer::timeout, this, &API::writeState);
    // What changed while the last text was being written goes out next.
    connect(m_stateWriter, &StateWriter::written, this, [this] {
        if (m_stateChanged && !m_saveTimer->isActive())
            saveState();
    });

    connect(m_amiConnector, &Connector::connected, this, &API::onConnect);
    connect(m_amiConnector, &Connector::disconnected, this, &API::onDisconnect);
    connect(m_amiConnector, &Connector::hasError, this, &API::onConnectionError);
    connect(m_amiConnector, &Connector::peersReceived, this, &API::onPeersReceived);
    connect(m_amiConnector, &Connector::combReceived, this, &API::onCombReceived);

    connect(&m_eventHandler, &EventHandler::callStarted, this, &API::callStarted);
    connect(&m_eventHandler, &EventHandler::conversationRequested, this, &API::conversationRequested);
    connect(&m_eventHandler, &EventHandler::conversationAccepted, this, &API::conversationAccepted);
    connect(&m_eventHandler, &EventHandler::conversationEnded, this, &API::conversationEnded);
    connect(&m_eventHandler, &EventHandler::callEnded, this, &API::callEnded);
    connect(&m_eventHandler, &EventHandler::callTransferred, this, &API::callTransferred);

    connect(this, &API::stopTimer, m_pollTimer, &QTimer::stop);
}

API::~API()
{
    noteLinkLost();
    flushState();
}

void API::start()
{
    ++m_startCount;
    m_stopRequested = false;
    const QJsonObject asterisk = m_config.moduleObject(Config::Manager::Asterisk);
    const QString amiPassword = stringOr(asterisk, QStringLiteral("password"), QString());
    const QString amiUser = stringOr(asterisk, QStringLiteral("user"), QStringLiteral("calv"));
    const int amiPort = intOr(asterisk, QStringLiteral("port"), 5038);
    const QString amiHost = stringOr(asterisk, QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    m_amiAddress = QStringLiteral("%1:%2").arg(amiHost).arg(amiPort);
    m_amiConnector->connectToHost(amiHost, static_cast<quint16>(amiPort), amiUser, amiPassword);

    readSettings();

    const QJsonObject database = m_config.moduleObject(Config::Manager::Database);
    const QString databaseName = stringOr(database, QStringLiteral("database"), QStringLiteral("asteriskcdrdb"));
    const QString databasePassword = stringOr(database, QStringLiteral("password"), QString());
    const QString databaseUser = stringOr(database, QStringLiteral("user"), QString());
    const int databasePort = intOr(database, QStringLiteral("port"), 3306);
    const QString databaseHost = stringOr(database, QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    // The worker opens the connection only once the AMI link is up (onConnect).
    m_sqlConnector->setConnectionSettings(databaseHost, databasePort, databaseUser, databasePassword, databaseName);
    for (SqlQueryPoll::Connector *connector : {m_statementConnector, m_adminConnector})
        connector->setConnectionSettings(databaseHost, databasePort, databaseUser, databasePassword, databaseName);
}

void API::readSettings()
{
    const QJsonObject asterisk = m_config.moduleObject(Config::Manager::Asterisk);
    m_eventHandler.setPickupCode(stringOr(asterisk, QStringLiteral("pickup_code"), QStringLiteral("*8")));
    m_eventHandler.setTrunks(m_config.getStringMap(Config::Manager::App, QStringLiteral("trunk_to_source")).keys());

    m_historyStartDate = m_config.getString(Config::Manager::App, QStringLiteral("history_start_date"));
    m_columnAliases = m_config.getStringMap(Config::Manager::Database, QStringLiteral("column_name_aliases"));
    m_tableAliases = m_config.getStringMap(Config::Manager::Database, QStringLiteral("table_name_aliases"));
    m_originateTemplate = m_config.getStringHash(Config::Manager::Asterisk, QStringLiteral("originate"));
    m_callbackTemplate = m_config.getStringHash(Config::Manager::Asterisk, QStringLiteral("callback"));
    m_recordingsByDate = m_config.getBool(Config::Manager::Asterisk, QStringLiteral("recordings_dir_subdirs_by_date"));
    const QString configured = m_config.getString(Config::Manager::Asterisk, QStringLiteral("recordings_dir"));
    const QString directory = Config::recordingsDirectory();
    if (configured.isEmpty() && directory != m_recordingsDirectory)
        qInfo().noquote() << QStringLiteral("Asterisk.recordings_dir is empty: recordings are taken from Asterisk's "
                                            "monitor folder %1")
                                 .arg(directory);
    m_recordingsDirectory = directory;
}

void API::setEventsSql(const QString &sql)
{
    m_eventsSql = sql;
}

void API::stop()
{
    // A connection error still on its way belongs to the connection that ends here.
    ++m_startCount;
    m_searchingStart = false;
    m_quietCallTimer->stop();
    m_secondListTimer->stop();
    noteLinkLost();
    m_lostCallCandidates.clear();
    m_liveChannelIds.reset();
    disconnect(m_pollTimer, &QTimer::timeout, this, &API::getEvents);
    Q_EMIT stopTimer();
    m_sqlConnector->stop();
    m_statementConnector->stop();
    m_adminConnector->stop();
    flushState();
    m_amiConnector->disconnectFromHost();
}

void API::setStatementReadTimeout(std::chrono::seconds timeout)
{
    m_statementConnector->setReadTimeout(timeout);
    m_adminConnector->setReadTimeout(timeout);
}

void API::setAdminStatementTimeLimit(std::chrono::seconds limit)
{
    m_adminConnector->limitStatements(limit);
}

void API::setAmiAnswerTimeout(std::chrono::milliseconds timeout)
{
    m_amiConnector->setAnswerTimeout(timeout);
}

void API::setGeneratedDirectory(const QString &path)
{
    m_generatedDirectory = path;
}

QString API::stateFilePath() const
{
    QString directory = m_generatedDirectory;
    if (directory.isEmpty()) {
        // Beside the executable, not in the working directory: a service started from elsewhere must
        // find the position it saved, or it would register old calls in the CRM again.
        directory = Config::GeneratedDirectory::path();
    }
    return directory + QLatin1Char('/') + kStateFileName;
}

void API::onConnect()
{
    if (const auto since = m_outage.recovered()) {
        qInfo().noquote() << QStringLiteral("Connected to Asterisk at %1 again, after failures since %2")
                                 .arg(m_amiAddress, since->toString(Entities::DATE_TIME_FORMAT));
    }
    m_sqlConnector->start();
    m_statementConnector->start();
    m_adminConnector->start();
    // Before started: its receivers ask at once for the recordings a previous run still owes, and a
    // look-up needs the database and the saved calls (a call still up has no CDR row yet; it is not missing).
    if (m_eventsSql.isEmpty())
        loadState();
    const int generation = m_startCount;
    Q_EMIT started();
    if (generation != m_startCount)
        return;
    m_linkUp = true;
    m_caughtUpPollSentAt = -1;
    if (m_eventsSql.isEmpty()) {
        if (m_lastEventId == 0 && !m_historyStartDate.isEmpty())
            findStartPosition();
        connect(m_pollTimer, &QTimer::timeout, this, &API::getEvents, Qt::UniqueConnection);
        m_pollTimer->start(kPollInterval);
        // The PBX may have restarted while the link was down, losing calls without writing their end.
        QStringList open;
        const QHash<QString, Entities::Call> &calls = m_eventHandler.calls();
        for (auto it = calls.cbegin(); it != calls.cend(); ++it) {
            if (!it->isState(Entities::CallStatus::Hung))
                open.append(it.key());
        }
        // No call of the time the link was lost is left to check.
        if (open.isEmpty())
            m_linkLosses.clear();
        askLiveChannels(open);
        m_quietCallTimer->start();
    } else {
        getEvents();
    }
}

void API::onDisconnect()
{
    requestStop(QStringLiteral("Lost connection to Asterisk"));
}

void API::onConnectionError(const QString &error)
{
    // A connection that the server closes reports a socket error and then its disconnection; the
    // error waits one turn of the event loop so that such a loss is reported once, as a loss.
    const int attempt = m_startCount;
    QTimer::singleShot(0, this, [this, attempt, error]() {
        if (attempt == m_startCount)
            requestStop(QStringLiteral("Cannot connect to Asterisk at %1: %2").arg(m_amiAddress, error));
    });
}

void API::requestStop(const QString &reason)
{
    // The owner stops and restarts the link on the first report; more of the same connection would
    // make it restart again.
    if (m_stopRequested)
        return;
    m_stopRequested = true;
    noteLinkLost();
    // The owner restarts the link every minute: a PBX that stays away would fill the log with the same
    // failure. Told loudly once, reminded every 10 minutes, and its recovery once (onConnect).
    m_failureRepeated = m_outage.failed(reason, Entities::Clock::now());
    Q_EMIT shouldStop(reason);
}

void API::onPeersReceived(const QSet<QString> &peers)
{
    m_eventHandler.setPeers(QStringList(peers.cbegin(), peers.cend()));
}

void API::onCombReceived(const QHash<QString, QString> &features)
{
    m_eventHandler.setFeatureCodes(features.keys());
}

QString API::eventsQuery() const
{
    return ApiSql::celEventsQuery(m_tableAliases, m_columnAliases);
}

void API::getEvents()
{
    // One poll query at a time: while the database is away the outstanding one waits in the SQL
    // worker, and piling more behind it would read the same records twice once it is back.
    if (m_busy || m_searchingStart)
        return;

    SqlQueryPoll::Request request(m_eventsSql.isEmpty() ? eventsQuery() : m_eventsSql);
    request.bindValue(QStringLiteral(":history_start_date"), m_historyStartDate);
    request.bindValue(QStringLiteral(":last_id"), QVariant::fromValue<qlonglong>(m_lastEventId));

    const QPointer<API> self(this);
    const int generation = m_startCount;
    const qint64 sentAt = m_clock.elapsed();
    request.onResolve([self, generation, sentAt](SqlQueryPoll::Response response) {
        if (!self)
            return;
        if (generation != self->m_startCount) {
            // Read before a stop(): handled now, its rows would reach a link that is down and the saved
            // position would move past them. The next poll reads them again from where it stood.
            qCDebug(lcPbxPoll).noquote() << QStringLiteral("CEL batch after a stop dropped, last id %1")
                                                .arg(self->m_lastEventId);
            self->m_busy = false;
            return;
        }
        const QVector<Event> rows = self->readEvents(response);
        const int count = rows.size();
        if (count > 0) {
            // Noted before the rows' events are handed over: the work they make is stamped with the time of
            // this batch, not of the one before it (a backlog after a long stop spans days). Rows that a poll
            // which had read to the end did not see were written after it was sent: the newest of them bounds
            // the PBX's time from above as well, and a clock of the PBX set back (the end of summer time in a
            // CEL of local time) is followed back.
            QDateTime newest;
            for (const Event &row : rows) {
                if (row.occurredAt().isValid() && (!newest.isValid() || newest < row.occurredAt()))
                    newest = row.occurredAt();
            }
            const qint64 caughtUpAt = self->m_caughtUpPollSentAt;
            self->m_celClock.noteRow(newest, caughtUpAt >= 0 ? self->m_clock.elapsed() - caughtUpAt : -1);
            // A stamp the PBX's clock has not reached yet was written before it was set back.
            const QDateTime latest = self->m_celClock.latest();
            if (newest.isValid() && latest.isValid() && latest < self->m_eventHandler.lastRowAt())
                self->m_eventHandler.clockSetBack(newest);
        }
        self->processEvents(rows);
        qCDebug(lcPbxPoll).noquote()
            << QStringLiteral("CEL batch: %1 records, last id %2").arg(count).arg(self->m_lastEventId);
        if (count > 0) {
            self->m_eventHandler.removeStale(self->m_celClock.earliest());
            // A one-off debug query must not move the position of the production poll.
            if (self->m_eventsSql.isEmpty())
                self->saveState();
        }
        if (count < ApiSql::kCelBatchLimit)
            self->m_caughtUpPollSentAt = sentAt;
        self->endLostCalls(sentAt, count);
        self->m_busy = false;
        // A full batch means a backlog (the link was down, or a burst): drain it at the database's pace
        // rather than a hundred rows a tick, or its calls reach the CRM minutes late.
        if (count >= ApiSql::kCelBatchLimit && self->m_eventsSql.isEmpty()) {
            API *const api = self;
            QTimer::singleShot(0, api, [api, generation] {
                if (generation == api->m_startCount)
                    api->getEvents();
            });
        }
    });
    request.onReject([self](const QString &error) {
        qDebug().noquote() << QStringLiteral("Failed to execute SQL-query") << error;
        if (self)
            self->m_busy = false;
    });

    qCDebug(lcPbxPoll).noquote() << QStringLiteral("CEL query after id %1").arg(m_lastEventId);
    // Set before execute: a connector that is not running rejects at once, inside execute.
    m_busy = true;
    m_sqlConnector->execute(request);
}

void API::findStartPosition()
{
    m_searchingStart = true;
    const int generation = m_startCount;
    const QPointer<API> self(this);
    SqlQueryPoll::Request request(ApiSql::celBoundsQuery(m_tableAliases, m_columnAliases));
    request.onResolve([self, generation](SqlQueryPoll::Response response) {
        if (!self)
            return;
        if (!response.next() || response.value(1).isNull()) {
            self->finishStartPosition(0, generation);
            return;
        }
        const CelId last = response.value(1).toLongLong();
        self->probeStartPosition(response.value(0).toLongLong(), last, 0, last, generation);
    });
    request.onReject([self, generation](const QString &error) {
        qDebug().noquote() << QStringLiteral("Failed to execute SQL-query") << error;
        if (self)
            self->finishStartPosition(0, generation);
    });
    m_sqlConnector->execute(request);
}

void API::probeStartPosition(CelId low, CelId high, CelId found, CelId last, int generation)
{
    // A search of an earlier start: stop() has given up on it.
    if (generation != m_startCount)
        return;
    if (low > high) {
        // No record new enough yet: the poll waits after the last one.
        finishStartPosition(found > 0 ? found - 1 : last, generation);
        return;
    }
    const CelId middle = low + (high - low) / 2;
    SqlQueryPoll::Request request(ApiSql::celProbeQuery(m_tableAliases, m_columnAliases));
    request.bindValue(QStringLiteral(":history_start_date"), startSearchDate(m_historyStartDate));
    request.bindValue(QStringLiteral(":id"), QVariant::fromValue<qlonglong>(middle));
    const QPointer<API> self(this);
    request.onResolve([self, low, high, found, last, middle, generation](SqlQueryPoll::Response response) {
        if (!self)
            return;
        if (!response.next()) {
            // Nothing from `middle` on (rows deleted meanwhile): look below it.
            self->probeStartPosition(low, middle - 1, found, last, generation);
            return;
        }
        const CelId id = response.value(0).toLongLong();
        if (response.value(1).toInt() != 0)
            self->probeStartPosition(low, middle - 1, id, last, generation);
        else
            self->probeStartPosition(id + 1, high, found, last, generation);
    });
    request.onReject([self, generation](const QString &error) {
        qDebug().noquote() << QStringLiteral("Failed to execute SQL-query") << error;
        if (self)
            self->finishStartPosition(0, generation);
    });
    m_sqlConnector->execute(request);
}

void API::finishStartPosition(CelId position, int generation)
{
    // A stop meanwhile: the next start searches again.
    if (generation != m_startCount)
        return;
    m_searchingStart = false;
    if (position <= m_lastEventId)
        return;
    m_lastEventId = position;
    qCDebug(lcPbxPoll).noquote() << QStringLiteral("CEL start position: id %1").arg(position);
    // Saved at once: a restart must not search again, nor find the file behind the position.
    saveState();
}

QVector<Event> API::readEvents(SqlQueryPoll::Response &response) const
{
    const auto column = [this](const char *key) { return m_columnAliases.value(QLatin1String(key)); };
    const QString idColumn = column("cel_id");
    const QString typeColumn = column("cel_eventtype");
    const QString timeColumn = column("cel_eventtime");
    const QString callerColumn = column("cel_cid_num");
    const QString extensionColumn = column("cel_exten");
    const QString channelIdColumn = column("cel_uniqueid");
    const QString linkedIdColumn = column("cel_linkedid");
    const QString channelNameColumn = column("cel_channame");

    QVector<Event> rows;
    while (response.next()) {
        // The MySQL driver gives a DATETIME column as a date-time value: take it as it is rather
        // than through its text form; a text column (an override query, another driver) is parsed.
        const QVariant time = response.value(timeColumn);
        const QString id = response.value(idColumn).toString();
        const QString type = response.value(typeColumn).toString();
        const QString caller = response.value(callerColumn).toString();
        const QString extension = response.value(extensionColumn).toString();
        const QString channelId = response.value(channelIdColumn).toString();
        const QString linkedId = response.value(linkedIdColumn).toString();
        const QString channelName = response.value(channelNameColumn).toString();
        rows.append(time.type() == QVariant::DateTime
                        ? Event(id, type, time.toDateTime(), caller, extension, channelId, linkedId, channelName)
                        : Event(id, type, time.toString(), caller, extension, channelId, linkedId, channelName));
    }
    return rows;
}

void API::processEvents(const QVector<Event> &rows)
{
    for (const Event &event : rows) {
        m_currentRow = event.id();
        m_eventHandler.process(event);
        m_currentRow = 0;
        // Never backwards: a row without a readable id must not send the poll back to the start.
        if (event.id() > m_lastEventId)
            m_lastEventId = event.id();
    }
}

void API::saveState()
{
    m_stateChanged = true;
    if (m_saveTimer->isActive())
        return;
    m_saveTimer->start(static_cast<int>(qMax<qint64>(0, m_nextWriteAt - m_clock.elapsed())));
}

void API::writeState()
{
    // One text at a time: the writer's `written` brings what changed meanwhile.
    if (!m_stateChanged || m_stateWriter->isWriting())
        return;
    if (m_stateGuard && !m_stateGuard(m_lastEventId)) {
        m_saveTimer->start(kDeferredStateRetry);
        return;
    }
    m_stateChanged = false;
    const QByteArray text = stateText();
    m_stateWriter->save(stateFilePath(), text);
    m_nextWriteAt = m_clock.elapsed() + text.size() * 1000 / kStateBytesPerSecond;
}

QByteArray API::stateText() const
{
    QByteArray extra = QByteArrayLiteral("\"") + kPreviousEventId.toLatin1() + QByteArrayLiteral("\":")
                       + QByteArray::number(m_lastEventId);
    if (!m_linkLosses.isEmpty()) {
        QJsonArray losses;
        for (const QDateTime &loss : m_linkLosses)
            losses.append(loss.toString(Qt::ISODateWithMs));
        extra += ",\"" + kLinkLosses.toLatin1() + "\":" + QJsonDocument(losses).toJson(QJsonDocument::Compact);
    }
    extra += m_celClock.stateText();
    return m_eventHandler.stateText(extra);
}

void API::flushState()
{
    m_saveTimer->stop();
    if (m_stateChanged && (!m_stateGuard || m_stateGuard(m_lastEventId))) {
        m_stateChanged = false;
        m_stateWriter->save(stateFilePath(), stateText());
    }
    m_stateWriter->flush();
}

void API::loadState()
{
    const QString path = stateFilePath();
    QJsonObject state;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QByteArray bytes = file.readAll();
        const int nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        state = document.object();
        // An emptied file is what a clean start leaves; anything else that does not parse is news.
        if (!bytes.trimmed().isEmpty() && !document.isObject())
            qWarning().noquote() << QStringLiteral("The PBX state file %1 cannot be read, starting from CEL id 0")
                                        .arg(path);
    }
    const auto savedId = static_cast<CelId>(state.value(kPreviousEventId).toDouble());
    // After a stop within this process the tables in memory are never older than the file; should the
    // last save have failed, the file is behind and reloading it would replay calls already reported.
    if (savedId < m_lastEventId) {
        qWarning().noquote() << QStringLiteral("The PBX state file %1 is behind (CEL id %2, in memory %3); "
                                               "keeping the state in memory")
                                    .arg(path)
                                    .arg(savedId)
                                    .arg(m_lastEventId);
        return;
    }
    m_lastEventId = savedId;
    m_eventHandler.fromJson(state);
    // No row read yet in this process: the PBX's time from the offset the last run saved.
    m_celClock.restore(state, m_eventHandler.newestTime());
    // Those of an earlier run: this one has its own in memory.
    if (m_linkLosses.isEmpty()) {
        const auto read = [&state](const QString &key, qint64 shiftMsec, QList<QDateTime> &losses) {
            for (const QJsonValue &loss : state.value(key).toArray()) {
                const QDateTime at = QDateTime::fromString(loss.toString(), Qt::ISODateWithMs);
                if (at.isValid())
                    losses.append(at.addMSecs(shiftMsec));
            }
        };
        read(kLinkLosses, 0, m_linkLosses);
        // Moved by the difference of the two clocks now; the PBX's time being never ahead, a loss never later.
        const QDateTime pbxNow = m_celClock.earliest();
        if (pbxNow.isValid())
            read(kHostLinkLosses, Entities::Clock::now().msecsTo(pbxNow), m_linkLosses);
    }
}

QString API::channelName(const QString &channelId) const
{
    return m_eventHandler.channels().value(channelId).name();
}

void API::askLiveChannels(const QStringList &calls)
{
    if (calls.isEmpty())
        return;
    // One question at a time: calls added meanwhile are checked against its answer.
    const bool asked = !m_lostCallCandidates.isEmpty();
    for (const QString &call : calls)
        m_lostCallCandidates.insert(call);
    if (asked)
        return;
    const QPointer<API> self(this);
    const int generation = m_startCount;
    m_amiConnector->liveChannels()
        .onResolve([self, generation](const QSet<QString> &ids) {
            if (!self || generation != self->m_startCount)
                return;
            self->m_liveChannelIds = ids;
            // Compared with CEL stamps: on the PBX's clock, and never before the list (invalid while that
            // cannot be told; then only a second list ends a call missing from it).
            self->m_liveChannelsListedAt = self->m_celClock.latest();
            self->m_liveChannelsReadFrom = self->m_clock.elapsed() + kCelWriteDelayMsec;
        })
        .onReject([self, generation]() {
            if (!self || generation != self->m_startCount)
                return;
            qWarning().noquote() << QStringLiteral("Asterisk did not list its channels: calls it may have lost "
                                                   "stay open until it is asked again");
            self->m_lostCallCandidates.clear();
        });
}

void API::endLostCalls(qint64 querySentAt, int batchSize)
{
    // Only once the poll has caught up: rows still unread may end these calls the ordinary way.
    if (!m_liveChannelIds || querySentAt < m_liveChannelsReadFrom || batchSize >= ApiSql::kCelBatchLimit)
        return;
    const QStringList calls(m_lostCallCandidates.cbegin(), m_lostCallCandidates.cend());
    const QSet<QString> live = *m_liveChannelIds;
    m_lostCallCandidates.clear();
    m_liveChannelIds.reset();
    qDebug().noquote() << QStringLiteral("Calls checked against the PBX's %1 live channels: %2")
                              .arg(live.size())
                              .arg(calls.join(QLatin1Char(' ')));
    const QList<QDateTime> losses = std::exchange(m_linkLosses, {});
    const int ended = m_eventHandler.endLostCalls(calls, live, m_liveChannelsListedAt, losses);
    if ((ended > 0 || !losses.isEmpty()) && m_eventsSql.isEmpty())
        saveState();
    if (m_eventHandler.hasMissingCalls())
        m_secondListTimer->start();
}

void API::noteLinkLost()
{
    const QHash<QString, Entities::Call> &calls = m_eventHandler.calls();
    const auto isOpen = [](const Entities::Call &call) { return !call.isState(Entities::CallStatus::Hung); };
    // Compared with the calls' rows, so on their clock: this host's would lengthen a lost call by the
    // difference of the clocks (hours when the PBX keeps another zone).
    const QDateTime at = m_celClock.earliest();
    if (!std::exchange(m_linkUp, false) || !at.isValid() || !std::any_of(calls.cbegin(), calls.cend(), isOpen))
        return;
    m_linkLosses.append(at);
    if (m_eventsSql.isEmpty())
        saveState();
}

bool API::isCallLive(const QString &callId) const
{
    const QHash<QString, Entities::Call> &calls = m_eventHandler.calls();
    // A leg's own id names the call it belongs to now.
    const QString parent = m_eventHandler.channels().value(callId).parentId();
    for (const QString &id : {callId, parent}) {
        const auto it = calls.constFind(id);
        if (!id.isEmpty() && it != calls.cend() && !it->isState(Entities::CallStatus::Hung))
            return true;
    }
    return false;
}

void API::executeSqlQuery(const QString &sql, Utils::Promise<QJsonObject, QString> promise)
{
    SqlQueryPoll::Request request(sql);
    // An administrator's statement: never done twice, leaving nothing on the session of the next one, and read
    // only as far as an answer can hold.
    request.runOnce().closeSessionAfter().limitResult(SqlQueryPoll::kStatementMaxRows,
                                                      SqlQueryPoll::kStatementMaxBytes);
    request
        .onResolve([promise](SqlQueryPoll::Response response) {
            QJsonArray rows;
            while (response.next())
                rows.append(response.rowValues());
            promise.resolve(QJsonObject{
                {QStringLiteral("fields"), response.fieldNames()},
                {QStringLiteral("data"), rows},
                {QStringLiteral("cut"), response.isCut()},
            });
        })
        .onReject([promise](const QString &error) {
            qDebug().noquote() << QStringLiteral("SQL-query failed: ") + error;
            promise.reject(error);
        });
    m_adminConnector->execute(request);
}

void API::cancelSqlQuery()
{
    m_adminConnector->cancel();
}

} // namespace Orvix::PBX::Asterisk
