#include "pbx/asterisk/api.h"

#include "config/recordingsdirectory.h"
#include "pbx/asterisk/api_sql.h"
#include "sqlquerypoll/request.h"
#include "sqlquerypoll/response.h"
#include "utils/confinedpath.h"
#include "utils/msgbuilder.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QPointer>

// The PBX link's call control and look-ups for the application: the live calls and legs, originate,
// hangup, transfer, redirect, and the recording file of a finished call.

namespace Orvix::PBX::Asterisk {

namespace {

// Every recording look-up of a client of the public route.
Q_LOGGING_CATEGORY(lcPbxRecordings, "pbx.recordings", QtInfoMsg)

// Used by transfer, and by redirect when the configuration carries no "redirect" template.
const QString kDefaultContext = QStringLiteral("from-internal");
const QString kDefaultPriority = QStringLiteral("1");

Utils::Promise<void, QString> rejected(const QString &reason)
{
    Utils::Promise<void, QString> promise;
    promise.reject(reason);
    return promise;
}

void fillPlaceholder(QHash<QString, QString> &params, const QString &placeholder, const QString &value)
{
    for (auto it = params.begin(); it != params.end(); ++it)
        it.value().replace(placeholder, value);
}

} // namespace

QList<Entities::Conversation> API::activeConversations() const
{
    QList<Entities::Conversation> result;
    const QHash<QString, Entities::Call> &calls = m_eventHandler.calls();
    for (const Entities::Call &call : calls) {
        for (const Entities::Conversation &conversation : call.conversations()) {
            if (!conversation.isState(Entities::CallStatus::Hung))
                result.append(conversation);
        }
    }
    return result;
}

QList<Entities::Call> API::activeCalls() const
{
    QList<Entities::Call> result;
    const QHash<QString, Entities::Call> &calls = m_eventHandler.calls();
    for (const Entities::Call &call : calls) {
        if (!call.isState(Entities::CallStatus::Hung))
            result.append(call);
    }
    return result;
}

bool API::findConversation(const QString &number, Entities::Conversation &found) const
{
    // An empty number would match a leg whose number is not known yet.
    if (number.isEmpty())
        return false;
    // The latest: an older leg of the same phone may belong to a call the PBX has lost.
    bool any = false;
    const QList<Entities::Conversation> conversations = activeConversations();
    for (const Entities::Conversation &conversation : conversations) {
        qDebug().noquote() << conversation.id();
        if (conversation.internalNumber() != number)
            continue;
        if (!any || found.startedAt() < conversation.startedAt()
            || (found.startedAt() == conversation.startedAt() && Entities::uniqueIdBefore(found.id(), conversation.id())))
            found = conversation;
        any = true;
    }
    return any;
}

Utils::Promise<void, QString> API::originate(const QString &from, const QString &to, const QString &lineNumber)
{
    // Before the customisation script: the caller hears of a PBX that is away at once.
    if (!m_amiConnector->isConnected())
        return rejected(m_amiConnector->noConnectionText());
    QHash<QString, QString> params = m_originateTemplate;
    fillPlaceholder(params, QStringLiteral("#FROM#"), from);
    fillPlaceholder(params, QStringLiteral("#TO#"), to);
    params.insert(QStringLiteral("LINE_NUMBER"), lineNumber);

    // Lets the tracker tell where the call that the PBX now starts for `from` is going.
    m_eventHandler.addOriginate(from, to);

    Utils::Promise<void, QString> result;
    const QPointer<API> self(this);
    customizeAndOriginate(params)
        .onResolve([from, to, result]() {
            qDebug().noquote() << Utils::MsgBuilder().build(Utils::MsgBuilder::Ok,
                                                            QStringLiteral("Originated %1 %2").arg(from, to));
            result.resolve();
        })
        .onReject([self, from, to, result](const QString &reason) {
            qDebug().noquote() << Utils::MsgBuilder().build(
                Utils::MsgBuilder::Error, QStringLiteral("Not originated %1 %2: %3").arg(from, to, reason));
            if (self)
                self->m_eventHandler.removeOriginate(from);
            result.reject(reason);
        });
    return result;
}

Utils::Promise<void> API::callBackOriginate(const QString &to, const QString &lineNumber)
{
    QHash<QString, QString> params = m_callbackTemplate;
    fillPlaceholder(params, QStringLiteral("#TO#"), to);
    params.insert(QStringLiteral("LINE_NUMBER"), lineNumber);

    Utils::Promise<void> result;
    customizeAndOriginate(params)
        .onResolve([to, result]() {
            qDebug().noquote() << QStringLiteral("Originated callback") << to;
            result.resolve();
        })
        .onReject([to, result](const QString &reason) {
            qDebug().noquote() << QStringLiteral("Not Originated callback") << to << reason;
            result.reject();
        });
    return result;
}

Utils::Promise<void, QString> API::customizeAndOriginate(const QHash<QString, QString> &params)
{
    Utils::Promise<void, QString> result;
    Utils::Promise<QHash<QString, QString>, QString> customization;
    const QPointer<API> self(this);
    customization.onResolve([self, result](const QHash<QString, QString> &customized) {
        qDebug().noquote() << QStringLiteral("\tResult of originate params customization:") << customized;
        if (!self) {
            result.reject(QStringLiteral("the PBX link is gone"));
            return;
        }
        self->m_amiConnector->originate(customized).proxyTo(result);
    });
    customization.onReject([self, params, result](const QString &reason) {
        qDebug().noquote() << QStringLiteral("\tFailed to customize originate params: [%1]").arg(reason);
        if (!self) {
            result.reject(QStringLiteral("the PBX link is gone"));
            return;
        }
        self->m_amiConnector->originate(params).proxyTo(result);
    });

    // Nobody to answer (no application core around this link): the call goes out as it is rather
    // than waiting for ever.
    if (!isSignalConnected(QMetaMethod::fromSignal(&API::originateCustomizationRequest))) {
        customization.resolve(params);
        return result;
    }
    Q_EMIT originateCustomizationRequest(params, customization);
    return result;
}

Utils::Promise<void, QString> API::hangup(const QString &number)
{
    if (!m_amiConnector->isConnected())
        return rejected(m_amiConnector->noConnectionText());
    Entities::Conversation conversation;
    if (!findConversation(number, conversation))
        return rejected(QStringLiteral("no call of %1").arg(number));
    const QString name = channelName(conversation.parentChannelId());
    qDebug().noquote() << QStringLiteral("channelName to hangup") << name;
    if (name.isEmpty())
        return rejected(QStringLiteral("no channel of %1").arg(number));
    return m_amiConnector->hangup(name);
}

Utils::Promise<void, QString> API::transfer(const QString &number, const QString &destination, bool blind)
{
    if (!m_amiConnector->isConnected())
        return rejected(m_amiConnector->noConnectionText());
    Entities::Conversation conversation;
    if (!findConversation(number, conversation))
        return rejected(QStringLiteral("no call of %1").arg(number));
    QString channelId;
    if (conversation.isIncoming())
        channelId = conversation.channelId();
    else if (conversation.isOutgoing())
        channelId = conversation.parentChannelId();
    const QString name = channelId.isEmpty() ? QString() : channelName(channelId);
    qDebug().noquote() << QStringLiteral("channelName to transfer") << name;
    if (name.isEmpty())
        return rejected(QStringLiteral("no channel of %1").arg(number));
    return m_amiConnector->transfer(name, kDefaultContext, destination, blind);
}

Utils::Promise<void, QString> API::redirect(const QString &channelId, const QString &destination)
{
    if (!m_amiConnector->isConnected())
        return rejected(m_amiConnector->noConnectionText());
    const auto channel = m_eventHandler.channels().constFind(channelId);
    if (channel == m_eventHandler.channels().cend())
        return rejected(QStringLiteral("no channel %1").arg(channelId));

    QHash<QString, QString> params = m_config.getStringHash(Config::Manager::Asterisk, QStringLiteral("redirect"));
    fillPlaceholder(params, QStringLiteral("#TO#"), destination);
    // The configuration declares no redirect template: without one the call goes where a transfer
    // would send it, instead of to an empty context that the PBX refuses.
    QString context = params.value(QStringLiteral("context"));
    if (context.isEmpty())
        context = kDefaultContext;
    QString extension = params.value(QStringLiteral("extension"));
    if (extension.isEmpty())
        extension = destination;
    QString priority = params.value(QStringLiteral("priority"));
    if (priority.isEmpty())
        priority = kDefaultPriority;
    return m_amiConnector->redirect(channel->name(), context, extension, priority);
}

Utils::Promise<QString, Entities::RecordingFailure>
API::getRecordingFileName(const QString &callId, const QString &number1, const QString &number2,
                          ApiSql::RecordingLookup lookup)
{
    const bool own = lookup == ApiSql::RecordingLookup::Own;
    // A client's requests come by the thousand: their lines are for a developer only.
    const auto log = [own](QtMsgType type, const QString &text) {
        if (!own)
            qCDebug(lcPbxRecordings).noquote() << text;
        else if (type == QtWarningMsg)
            qWarning().noquote() << text;
        else
            qDebug().noquote() << text;
    };
    Utils::Promise<QString, Entities::RecordingFailure> result;
    bool named = !m_tableAliases.value(QStringLiteral("cdr")).isEmpty();
    for (const QString &key : ApiSql::kCdrColumns)
        named = named && !m_columnAliases.value(key).isEmpty();
    if (!named) {
        result.reject(Entities::RecordingFailure::failed(
            QStringLiteral("Database.table_name_aliases or column_name_aliases lacks a name of the CDR table")));
        return result;
    }
    if (!m_statementConnector->isStarted()) {
        const QString reason = QStringLiteral("the link to the PBX database is down");
        result.reject(own ? Entities::RecordingFailure::failed(reason)
                          : Entities::RecordingFailure::unreachable(reason));
        return result;
    }
    SqlQueryPoll::Request request =
        ApiSql::recordingRequest(m_tableAliases, m_columnAliases, callId, number1, number2, m_eventHandler.trunks(),
                                 m_config.getStringList(Config::Manager::App, QStringLiteral("prefixes")));
    if (own) {
        // Asked for while the links restart, it waits for the database rather than lose the recording.
        request.waitForConnection();
    } else {
        // A client is not held while the database is away (it would hold its connection until it is back).
        request.failWhileUnreachable();
    }
    const Utils::MsgBuilder builder(callId, Utils::MsgBuilder::NoTask, Utils::MsgBuilder::NoChildTask);
    log(QtDebugMsg, builder.build(Utils::MsgBuilder::Start, QStringLiteral("Record request: ") + request.query()));

    const QString directory = m_recordingsDirectory;
    const bool byDate = m_recordingsByDate;
    const QPointer<API> self(this);
    request.onResolve([self, result, builder, callId, directory, byDate, log](SqlQueryPoll::Response response) {
        if (!response.next()) {
            log(QtDebugMsg,
                builder.build(Utils::MsgBuilder::Warning, QStringLiteral("Could not find record by sql-query")));
            // The PBX writes a call's CDR rows only at its end.
            if (self && self->isCallLive(callId))
                result.reject(Entities::RecordingFailure::failed(
                    QStringLiteral("the call is still up; its CDR is written at its end")));
            else
                result.reject(Entities::RecordingFailure::missing(QStringLiteral("no CDR row of the call")));
            return;
        }
        const QString recorded = response.value(0).toString();
        QString datePart;
        if (byDate) {
            // The driver hands a DATETIME over as a date-time, other drivers as ISO text.
            const QDateTime callDate = response.value(1).toDateTime();
            if (callDate.isValid())
                datePart = callDate.toString(QStringLiteral("/yyyy/MM/dd"));
        }
        // A dial plan may write the full path (MixMonitor(${MONITOR_DIR}/...)); either way the file name
        // comes from the dial plan, which may have built it from what a caller sent.
        const QString candidate =
            QDir::isAbsolutePath(recorded) ? recorded : QStringLiteral("%1%2/%3").arg(directory, datePart, recorded);
        const QString path = Utils::confinedPath(directory, candidate);
        // A dial plan that records elsewhere, or a recordings_dir that points elsewhere: said as it is.
        if (path.isEmpty() && !QFileInfo::exists(candidate)) {
            log(QtWarningMsg,
                builder.build(Utils::MsgBuilder::Warning,
                              QStringLiteral("Recording file [%1] of the CDR is not on disk: %2 does not exist")
                                  .arg(recorded, candidate)));
            result.reject(Entities::RecordingFailure::missing(QStringLiteral("the recording file does not exist")));
            return;
        }
        if (path.isEmpty()) {
            log(QtWarningMsg,
                builder.build(Utils::MsgBuilder::Warning,
                              QStringLiteral("Recording file [%1] of the CDR lies outside the recordings directory "
                                             "[%2]: refused")
                                  .arg(recorded, directory)));
            result.reject(Entities::RecordingFailure::missing(
                QStringLiteral("the recording file lies outside the recordings directory")));
            return;
        }
        result.resolve(path);
    });
    // The handle keeps its request alive only until the request is settled, which every request is.
    request.onReject([result, builder, log, request](const QString &error) {
        log(QtDebugMsg,
            builder.build(Utils::MsgBuilder::Error, QStringLiteral("SQL-query failed to get record path: ") + error));
        // Only a client's look-up is turned away while the database cannot be reached. It is told no address
        // or wording of the database, only that.
        result.reject(request.isUnreachable()
                          ? Entities::RecordingFailure::unreachable(QStringLiteral("the database cannot be reached"))
                          : Entities::RecordingFailure::failed(error));
    });
    m_statementConnector->execute(request);
    return result;
}

} // namespace Orvix::PBX::Asterisk
