// Recordings of finished CRM calls: uploaded or linked, and owed until then, across restarts of the links
// and of the service.

#include "crm/bitrix/api.h"
#include "crm/bitrix/api_p.h"
#include "config/generateddirectory.h"

#include <QDebug>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace Orvix::CRM::Bitrix {

namespace {

using ApiDetail::child;
using ApiDetail::resolved;
using ApiDetail::whenSettled;
using Entities::Conversation;
using Utils::MsgBuilder;
using Utils::Promise;

QString percentEncoded(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

QString API::recordingUrl(const Conversation &conversation) const
{
    const QString host = ownServerAddress(m_addressInt.isEmpty() ? m_listenHost : m_addressInt);
    const QString from = m_connector.phoneWithoutPrefixes(conversation.from());
    const QString to = m_connector.phoneWithoutPrefixes(conversation.to());
    // Signed: the route is public and serves only links the service wrote. Encoded, or a "+" in a number
    // would come back as a blank.
    const QString signature = Config::GeneratedDirectory::recordingSignature(conversation.callId(), from, to);
    if (signature.isEmpty())
        qWarning().noquote() << QStringLiteral("The key for the recording links cannot be kept in %1: the link of "
                                               "call %2 will not play")
                                    .arg(Config::GeneratedDirectory::path(), conversation.callId());
    return QStringLiteral("%1/get_conversation_recording?id=%2&from=%3&to=%4&%5=%6")
        .arg(host, percentEncoded(conversation.callId()), percentEncoded(from), percentEncoded(to),
             Config::GeneratedDirectory::kSignatureParameter, signature);
}

Promise<void> API::sendRecording(const RegistrationStore::Upload &upload, const MsgBuilder &trace, bool deferIfMissing)
{
    const QString crmCallId = upload.finish.callId();
    const QString callId = upload.conversation.callId();
    // Taken from wherever it waited: the timer and the call's end must not ask for it a second time.
    m_recordingRetries.remove(crmCallId);
    const auto waiting = m_missingRecordings.find(callId);
    if (waiting != m_missingRecordings.end() && waiting->remove(crmCallId) > 0 && waiting->isEmpty())
        m_missingRecordings.erase(waiting);

    Promise<void> tried;
    if (!m_storeRecordingsInCrm) {
        const QString url = recordingUrl(upload.conversation);
        whenSettled(m_connector.attachRecordingUrl(upload.finish.activityId(), url, trace),
                    [self = QPointer<API>(this), crmCallId, tried]() {
                        if (self)
                            self->forgetRecording(crmCallId);
                        tried.resolve();
                    });
        return tried;
    }

    Promise<QString, Entities::RecordingFailure> path;
    path.onResolve([self = QPointer<API>(this), upload, trace, tried](const QString &file) {
        if (self)
            whenSettled(self->uploadRecording(upload, file, trace, false), [tried]() { tried.resolve(); });
        else
            tried.resolve();
    });
    path.onReject([self = QPointer<API>(this), upload, trace, deferIfMissing,
                   tried](const Entities::RecordingFailure &failure) {
        if (self)
            self->recordingNotGiven(upload, failure, trace, deferIfMissing);
        tried.resolve();
    });
    Q_EMIT conversationRecordingPathRequest(callId, m_connector.phoneWithoutPrefixes(upload.conversation.from()),
                                            m_connector.phoneWithoutPrefixes(upload.conversation.to()), path);
    return tried;
}

Promise<void> API::uploadRecording(const RegistrationStore::Upload &upload, const QString &file,
                                   const MsgBuilder &trace, bool resent)
{
    const QString crmCallId = upload.finish.callId();
    Promise<void> tried;
    m_connector.attachRecording(crmCallId, file, trace)
        .onResolve([self = QPointer<API>(this), crmCallId, tried]() {
            if (self)
                self->forgetRecording(crmCallId);
            tried.resolve();
        })
        .onReject([self = QPointer<API>(this), upload, file, trace, resent, tried](const RequestFailure &failure) {
            if (!self)
                return tried.resolve();
            const MsgBuilder line = child(trace, MsgBuilder::RecordingAttach);
            const QString crmCallId = upload.finish.callId();
            const bool unreachable = failure.kind == RequestFailure::Unreachable;
            if (unreachable && (resent || !failure.mayHaveBeenDone || self->m_recordingTries.contains(crmCallId))) {
                // It never reached the portal, or went unanswered again: still owed, sent after a pause that
                // grows. A second copy in the CRM is the lesser harm; a lost recording is not.
                self->retryRecording(upload, line, failure.reason);
            } else if (unreachable) {
                // Once more, but behind the work the other calls have waiting now: an upload that hangs
                // must not hold them a second time.
                qWarning().noquote() << line.build(
                    MsgBuilder::Warning, QStringLiteral("Recording of %1 not attached (%2); sending it once more")
                                             .arg(upload.conversation.id(), failure.reason));
                self->enqueueTask(trace, [self, upload, file, trace]() {
                    return self ? self->uploadRecording(upload, file, trace, true) : resolved();
                });
            } else {
                if (resent)
                    qWarning().noquote() << line.build(MsgBuilder::Warning,
                                                       QStringLiteral("Recording of %1 not attached: %2")
                                                           .arg(upload.conversation.id(), failure.reason));
                self->forgetRecording(crmCallId);
            }
            tried.resolve();
        });
    return tried;
}

void API::recordingNotGiven(const RegistrationStore::Upload &upload, const Entities::RecordingFailure &failure,
                            const MsgBuilder &trace, bool deferIfMissing)
{
    const MsgBuilder line = child(trace, MsgBuilder::RecordingAttach);
    const QString id = upload.conversation.id();
    if (deferIfMissing) {
        // The PBX names a leg's recording only when the whole call ends.
        qDebug().noquote() << line.build(
            MsgBuilder::Warning,
            QStringLiteral("Recording of %1 not found yet; asking again at the end of the call").arg(id));
        m_missingRecordings[upload.conversation.callId()].insert(upload.finish.callId(), upload);
        return;
    }
    if (failure.isMissing()) {
        qWarning().noquote() << line.build(
            MsgBuilder::Warning, QStringLiteral("Failed to get conversation recording %1: %2").arg(id, failure.reason));
        forgetRecording(upload.finish.callId());
        return;
    }
    retryRecording(upload, line, failure.reason);
}

void API::retryRecording(const RegistrationStore::Upload &upload, const MsgBuilder &trace, const QString &reason)
{
    constexpr std::chrono::hours kMaxPause{1};
    const QString crmCallId = upload.finish.callId();
    const QString id = upload.conversation.id();
    if (!m_ledger.isOwed(crmCallId) || owedSecs(m_ledger.owed(crmCallId, upload)) > ApiDetail::kOwedForAtMostSecs) {
        qWarning().noquote() << trace.build(MsgBuilder::Warning,
                                            QStringLiteral("Recording of %1 given up: %2").arg(id, reason));
        forgetRecording(crmCallId);
        return;
    }
    const int tries = m_recordingTries.value(crmCallId, 0);
    m_recordingTries.insert(crmCallId, tries + 1);
    const auto pause = std::min<std::chrono::milliseconds>(m_recordingRetryPause * (1LL << std::min(tries, 20)),
                                                           kMaxPause);
    qInfo().noquote() << trace.build(MsgBuilder::Warning, QStringLiteral("Recording of %1 not available yet (%2); "
                                                                         "asking again in %3 s")
                                                              .arg(id, reason)
                                                              .arg(double(pause.count()) / 1000));
    // A call still up writes the record that names the file at its end: asked for then as well.
    const QString callId = upload.conversation.callId();
    if (!m_endingCalls.contains(callId))
        m_missingRecordings[callId].insert(crmCallId, upload);
    const quint64 ticket = ++m_lastRetryTicket;
    m_recordingRetries.insert(crmCallId, ticket);
    QTimer::singleShot(pause, this, [this, crmCallId, ticket]() {
        // Attached, given up or taken by the call's end meanwhile: nothing to do.
        if (m_recordingRetries.value(crmCallId) != ticket || !m_ledger.isOwed(crmCallId))
            return;
        const RegistrationStore::Upload owed = m_ledger.owed(crmCallId, {});
        sendRecording(owed, MsgBuilder(owed.conversation.callId(), MsgBuilder::CallEnded, MsgBuilder::RecordingAttach),
                      false);
    });
}

Promise<void> API::attachMissingRecordings(const QString &callId, const MsgBuilder &trace)
{
    // Legs finished while the call went on whose recording was not found then: the PBX has named it now.
    QList<Promise<void>> attached;
    for (const RegistrationStore::Upload &owed : m_missingRecordings.take(callId))
        attached.append(sendRecording(m_ledger.owed(owed.finish.callId(), owed), trace, false));
    return Promise<void>::all(attached);
}

void API::forgetRecording(const QString &crmCallId)
{
    m_recordingRetries.remove(crmCallId);
    m_recordingTries.remove(crmCallId);
    for (auto it = m_missingRecordings.begin(); it != m_missingRecordings.end();) {
        it->remove(crmCallId);
        it = it->isEmpty() ? m_missingRecordings.erase(it) : std::next(it);
    }
    m_ledger.recordingDone(crmCallId);
}

void API::attachOwedRecordings()
{
    m_pbxStarted = true;
    const RegistrationStore::Uploads owed = m_ledger.takeOwed();
    if (!owed.isEmpty())
        qInfo().noquote() << QStringLiteral("Recordings still to attach: %1").arg(owed.size());
    for (const RegistrationStore::Upload &upload : owed) {
        const MsgBuilder trace(upload.conversation.callId(), MsgBuilder::CallEnded, MsgBuilder::RecordingAttach);
        // A call still up names its recording only at its end: the PBX says so, and it is asked for again.
        sendRecording(upload, trace, false);
    }
    // Those asked for while the PBX link was away (it restarts) go now, rather than at the end of their pause.
    for (const QString &crmCallId : m_recordingRetries.keys()) {
        m_recordingRetries.remove(crmCallId);
        if (!m_ledger.isOwed(crmCallId))
            continue;
        const RegistrationStore::Upload upload = m_ledger.owed(crmCallId, {});
        const MsgBuilder trace(upload.conversation.callId(), MsgBuilder::CallEnded, MsgBuilder::RecordingAttach);
        sendRecording(upload, trace, false);
    }
}

} // namespace Orvix::CRM::Bitrix
