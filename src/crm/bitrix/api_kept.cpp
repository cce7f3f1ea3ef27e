// The call events the CRM flow keeps until their work is done: handed over by the PBX link, written beside
// its state before it saves its position, held while the link to the CRM is stopped, and run again after a
// stop that cut them short (a restart of the links or of the service).

#include "crm/bitrix/api.h"
#include "crm/bitrix/api_p.h"

#include "config/generateddirectory.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

namespace Orvix::CRM::Bitrix {

namespace {

using ApiDetail::resolved;
using ApiDetail::whenSettled;
using Entities::Call;
using Entities::Conversation;
using Kind = KeptEvents::Kind;
using Utils::MsgBuilder;
using Utils::Promise;

inline constexpr QLatin1String kKeptEventsFile("crm_events.json");
// The done events leave the file this long after, or with the next save of the PBX link's state.
constexpr std::chrono::milliseconds kKeptWriteDelay{1000};
// The portal answers a register repeated within this time with the CRM call of the first; later it makes another.
constexpr qint64 kRegisterRepeatSecs = 30 * 60;

MsgBuilder::TaskName taskOf(Kind kind)
{
    switch (kind) {
    case Kind::CallStarted:
        return MsgBuilder::CallStarted;
    case Kind::ConversationRequested:
        return MsgBuilder::ConversationRequested;
    case Kind::ConversationAccepted:
        return MsgBuilder::ConversationAccepted;
    case Kind::ConversationEnded:
        return MsgBuilder::ConversationEnded;
    case Kind::CallEnded:
        return MsgBuilder::CallEnded;
    case Kind::CallTransferred:
        break;
    }
    return MsgBuilder::CallTransferred;
}

} // namespace

void API::callStarted(const Call &call, const MsgBuilder &trace, qint64 row)
{
    keepEvent(Kind::CallStarted, call.id(), row, call.toJson(), trace,
              [self = QPointer<API>(this), call](const MsgBuilder &line, quint64 sequence) {
                  return self ? self->onCallStartedTask(call, line, sequence) : resolved();
              });
}

void API::conversationRequested(const Conversation &conversation, const MsgBuilder &trace, qint64 row)
{
    keepEvent(Kind::ConversationRequested, conversation.callId(), row, conversation.toJson(), trace,
              [self = QPointer<API>(this), conversation](const MsgBuilder &line, quint64 sequence) {
                  return self ? self->onConversationRequestedTask(conversation, line, sequence) : resolved();
              });
}

void API::conversationAccepted(const Conversation &conversation, const MsgBuilder &trace, qint64 row)
{
    keepEvent(Kind::ConversationAccepted, conversation.callId(), row, conversation.toJson(), trace,
              [self = QPointer<API>(this), conversation](const MsgBuilder &line, quint64) {
                  return self ? self->onConversationAcceptedTask(conversation, line) : resolved();
              });
}

void API::conversationEnded(const Conversation &conversation, const MsgBuilder &trace, qint64 row)
{
    keepEvent(Kind::ConversationEnded, conversation.callId(), row, conversation.toJson(), trace,
              [self = QPointer<API>(this), conversation](const MsgBuilder &line, quint64) {
                  return self ? self->onConversationEndedTask(conversation, line) : resolved();
              });
}

void API::callEnded(const Call &call, const MsgBuilder &trace, qint64 row)
{
    keepEvent(Kind::CallEnded, call.id(), row, call.toJson(), trace,
              [self = QPointer<API>(this), call](const MsgBuilder &line, quint64) {
                  return self ? self->onCallEndedTask(call, line) : resolved();
              });
}

void API::callTransferred(const QString &callId, const MsgBuilder &trace, qint64 row)
{
    keepEvent(Kind::CallTransferred, callId, row, QJsonObject(), trace,
              [self = QPointer<API>(this), callId](const MsgBuilder &line, quint64) {
                  return self ? self->onCallTransferredTask(callId, line) : resolved();
              });
}

QString API::keptEventsFilePath() const
{
    return QDir(QFileInfo(registrationsFilePath()).absolutePath()).filePath(kKeptEventsFile);
}

void API::useKeptEventsFile()
{
    // Fixed at the first use: the generated directory is set before the CRM side starts.
    if (m_keptFile.filePath().isEmpty())
        m_keptFile.setFilePath(keptEventsFilePath());
}

void API::keepEvent(Kind kind, const QString &callId, qint64 row, const QJsonObject &data, const MsgBuilder &trace,
                    EventWork work)
{
    // Read again from CEL after a stop whose state the PBX link had not written yet: kept already, or done.
    if (row > 0 && (row <= m_readAgainUpTo || m_readAgainKeys.contains(KeptEvents::key(row, kind, callId, data)))) {
        qDebug().noquote() << trace.build(MsgBuilder::Warning,
                                          QStringLiteral("CEL row %1 was handled before the stop").arg(row));
        return;
    }
    // From now on a card would come too late for the call.
    if (kind == Kind::CallEnded)
        m_endedCalls.insert(callId);
    const quint64 sequence = ++m_lastEventSequence;
    m_kept.insert(sequence, KeptEvents::make(sequence, kind, callId, row, data));
    m_eventWork.insert(sequence, std::move(work));
    // Every event handed over is kept or done: the file covers its row whatever the PBX link saved so far.
    m_keptPosition = std::max(m_keptPosition, row);
    enqueueTask(trace, [self = QPointer<API>(this), sequence, trace]() {
        return self ? self->runKeptEvent(sequence, trace) : resolved();
    });
}

Promise<void> API::eventBody(const KeptEvents::Event &event, const MsgBuilder &trace)
{
    // The event as the PBX link handed it over; one a previous run kept, as its file holds it.
    const auto work = m_eventWork.constFind(event.sequence);
    if (work != m_eventWork.constEnd())
        return (*work)(trace, event.sequence);
    const QJsonObject data = event.data();
    switch (event.kind) {
    case Kind::CallStarted:
        return onCallStartedTask(Call(data), trace, event.sequence);
    case Kind::ConversationRequested:
        return onConversationRequestedTask(Conversation(data), trace, event.sequence);
    case Kind::ConversationAccepted:
        return onConversationAcceptedTask(Conversation(data), trace);
    case Kind::ConversationEnded:
        return onConversationEndedTask(Conversation(data), trace);
    case Kind::CallEnded:
        return onCallEndedTask(Call(data), trace);
    case Kind::CallTransferred:
        break;
    }
    return onCallTransferredTask(event.callId, trace);
}

Connector::RegisterMemo API::registerMemo(quint64 sequence, const QString &callId)
{
    const KeptEvents::Event event = m_kept.value(sequence);
    const QJsonObject registered = event.registered();
    const qint64 age = event.at.secsTo(QDateTime::currentDateTimeUtc());
    if (!registered.isEmpty() && age > kRegisterRepeatSecs) {
        qWarning().noquote() << MsgBuilder(callId, taskOf(event.kind), MsgBuilder::NoChildTask)
                                    .build(MsgBuilder::Warning,
                                           QStringLiteral("The register of call [%1] is sent again %2 min after its "
                                                          "event: should the portal have taken the first one, it "
                                                          "makes a second CRM call, as it matches a repeated "
                                                          "register only within 30 minutes")
                                               .arg(callId)
                                               .arg(age / 60));
    }
    // The record the first register bound was added for this call: the register sent again made it too.
    if (registered.value(QLatin1String("entity_created")).toBool())
        onNewEntityCreated(callId);
    const auto sending = [self = QPointer<API>(this), sequence, callId](const QJsonObject &params) {
        if (!self || !self->m_kept.contains(sequence))
            return;
        const bool created = self->m_newEntityCalls.contains(callId);
        KeptEvents::setRegistered(&self->m_kept[sequence], QJsonObject{{QStringLiteral("params"), params},
                                                                       {QStringLiteral("entity_created"), created}});
        if (sequence <= self->m_keptWrittenUpTo)
            self->m_keptChanged.append(sequence);
        // On disk before the portal may have done it: a stop before its answer sends the same again.
        self->writeKeptEvents();
    };
    return {registered.value(QLatin1String("params")).toObject(), sending};
}

Promise<void> API::runKeptEvent(quint64 sequence, const MsgBuilder &trace)
{
    Q_UNUSED(trace)
    Promise<void> done;
    const QString callId = m_kept.value(sequence).callId;
    const auto run = [self = QPointer<API>(this), callId, sequence, done]() {
        if (self)
            self->runCallEvents(callId, sequence).proxyTo(done);
        else
            done.resolve();
    };
    // Nothing of it starts while the link is stopped: its requests would wait anyway, and its outcome
    // would say nothing of the portal.
    if (!m_connector.isStarted() || m_shuttingDown)
        m_heldForStart.append(run);
    else
        run();
    return done;
}

Promise<void> API::runCallEvents(const QString &callId, quint64 upTo)
{
    // The call's events cut short by a stop go before it, in their order; upTo 0: only those.
    QList<quint64> sequences;
    const auto cut = m_cutEvents.find(callId);
    if (cut != m_cutEvents.end()) {
        std::sort(cut->begin(), cut->end());
        while (!cut->isEmpty() && (upTo == 0 || cut->first() < upTo))
            sequences.append(cut->takeFirst());
        if (cut->isEmpty())
            m_cutEvents.erase(cut);
    }
    if (upTo != 0)
        sequences.append(upTo);
    // The task's queue logs how the last one ended; this, how the others did.
    return runInOrder(sequences, sequences.isEmpty() ? 0 : sequences.last(), false);
}

Promise<void> API::runInOrder(QList<quint64> sequences, quint64 last, bool lastFailed)
{
    Promise<void> result;
    // Stopped meanwhile: the rest waits for the next start, cut short in its order, instead of sending
    // requests into the stopped link that would all go again then.
    if (!sequences.isEmpty() && (!m_connector.isStarted() || m_shuttingDown)) {
        for (const quint64 sequence : qAsConst(sequences)) {
            if (m_kept.contains(sequence))
                m_cutEvents[m_kept.value(sequence).callId].append(sequence);
        }
        sequences.clear();
        lastFailed = true;
    }
    if (sequences.isEmpty()) {
        if (lastFailed)
            result.reject();
        else
            result.resolve();
        return result;
    }
    const quint64 sequence = sequences.takeFirst();
    const auto kept = m_kept.constFind(sequence);
    if (kept == m_kept.constEnd())
        return runInOrder(sequences, last, lastFailed);
    const KeptEvents::Event event = *kept;
    const MsgBuilder trace(event.callId, taskOf(event.kind), MsgBuilder::NoChildTask);
    if (event.at.secsTo(QDateTime::currentDateTimeUtc()) > ApiDetail::kOwedForAtMostSecs) {
        qWarning().noquote() << trace.build(MsgBuilder::Error,
                                            QStringLiteral("The CRM work of call [%1] kept since %2 is given up")
                                                .arg(event.callId, event.at.toString(Qt::ISODate)));
        dropKept(sequence);
        return runInOrder(sequences, last, lastFailed);
    }
    const Promise<void> body = eventBody(event, trace);
    const auto next = [self = QPointer<API>(this), sequence, sequences, last, trace, result](bool failed) {
        if (sequence != last)
            qInfo().noquote() << trace.build(failed ? MsgBuilder::NotCompleted : MsgBuilder::Completed, QString());
        if (!self)
            return result.resolve();
        self->eventSettled(sequence);
        self->runInOrder(sequences, last, failed).proxyTo(result);
    };
    body.onResolve([next]() { next(false); });
    body.onReject([next]() { next(true); });
    return result;
}

void API::eventSettled(quint64 sequence)
{
    if (!m_kept.contains(sequence))
        return;
    // Ended while the link was stopped: its work may have been cut short, and it goes again at the start.
    if (!m_connector.isStarted() || m_shuttingDown) {
        m_cutEvents[m_kept.value(sequence).callId].append(sequence);
        return;
    }
    dropKept(sequence);
    if (!m_keptTimer.isActive()) {
        m_keptTimer.setSingleShot(true);
        m_keptTimer.start(kKeptWriteDelay);
    }
}

void API::dropKept(quint64 sequence)
{
    m_kept.remove(sequence);
    m_eventWork.remove(sequence);
    // Marked done in the file it is in; one not written yet is simply never written.
    if (sequence <= m_keptWrittenUpTo)
        m_keptDone.append(sequence);
}

void API::loadKeptEvents()
{
    useKeptEventsFile();
    // Once a process: a restart of the links has them in memory. A debug run over chosen rows leaves the
    // production run's file alone, and takes none of its rows for one read again.
    if (std::exchange(m_keptLoaded, true) || m_debugReplay)
        return;
    qint64 position = 0;
    m_kept = m_keptFile.load(&position);
    m_readAgainUpTo = position;
    m_keptPosition = position;
    m_writtenKeptPosition = position;
    m_lastEventSequence = m_kept.isEmpty() ? 0 : m_kept.lastKey();
    m_keptWrittenUpTo = m_lastEventSequence;
    for (const KeptEvents::Event &event : qAsConst(m_kept)) {
        if (event.row > position)
            m_readAgainKeys.insert(KeptEvents::key(event.row, event.kind, event.callId, event.data()));
        if (event.kind == Kind::CallEnded)
            m_endedCalls.insert(event.callId);
        m_ledger.replayed(event.callId);
        m_cutEvents[event.callId].append(event.sequence);
    }
    if (!m_kept.isEmpty())
        qInfo().noquote() << QStringLiteral("Call events kept from before the stop, done now: %1").arg(m_kept.size());
}

void API::resumeKeptEvents()
{
    for (const auto &run : std::exchange(m_heldForStart, {}))
        run();
    // Each call's events cut short go as one task, named after the last of them.
    QMap<quint64, QString> byOrder;
    for (auto it = m_cutEvents.cbegin(); it != m_cutEvents.cend(); ++it) {
        if (!it->isEmpty())
            byOrder.insert(*std::max_element(it->cbegin(), it->cend()), it.key());
    }
    for (auto it = byOrder.cbegin(); it != byOrder.cend(); ++it) {
        const QString callId = it.value();
        // Behind what its call has in the queue already, which runs them first.
        enqueueTask(MsgBuilder(callId, taskOf(m_kept.value(it.key()).kind), MsgBuilder::NoChildTask),
                    [self = QPointer<API>(this), callId]() {
                        return self ? self->runCallEvents(callId, 0) : resolved();
                    });
    }
}

bool API::keepEventsUpTo(qint64 position)
{
    // Never lowered: a PBX link whose state is behind the file reads again what the file covers.
    m_keptPosition = std::max(m_keptPosition, position);
    return writeKeptEvents();
}

bool API::writeKeptEvents()
{
    m_keptTimer.stop();
    const bool changed = m_kept.upperBound(m_keptWrittenUpTo) != m_kept.end() || !m_keptChanged.isEmpty()
        || !m_keptDone.isEmpty() || m_keptPosition != m_writtenKeptPosition;
    if (m_debugReplay || !changed)
        return true;
    useKeptEventsFile();
    QString error;
    if (!m_keptFile.write(m_kept, m_keptWrittenUpTo, m_keptChanged, m_keptDone, m_keptPosition, &error)) {
        // Said once an outage; what was to be written stays, and goes with the next write.
        if (!std::exchange(m_keptWriteFailed, true))
            qWarning().noquote() << QStringLiteral("Cannot save the kept call events %1: %2; the PBX link keeps its "
                                                   "saved CEL position until they are saved")
                                        .arg(m_keptFile.filePath(), error);
        return false;
    }
    if (std::exchange(m_keptWriteFailed, false))
        qInfo().noquote() << QStringLiteral("The kept call events are saved again in %1").arg(m_keptFile.filePath());
    m_keptWrittenUpTo = m_lastEventSequence;
    m_keptChanged.clear();
    m_keptDone.clear();
    m_writtenKeptPosition = m_keptPosition;
    return true;
}

void API::discardSavedWork()
{
    m_ledger.clear();
    m_kept.clear();
    m_eventWork.clear();
    m_cutEvents.clear();
    m_keptChanged.clear();
    m_keptDone.clear();
    m_ledger.save();
    useKeptEventsFile();
    QString error;
    if (!m_keptFile.clear(&error))
        qWarning().noquote()
            << QStringLiteral("Cannot empty the kept call events %1: %2").arg(m_keptFile.filePath(), error);
}

Promise<void> API::shutDown(std::chrono::milliseconds wait)
{
    m_shuttingDown = true;
    // The token stays: the next start goes on with it.
    m_connector.stop(false);
    m_relayClient.stop();
    Promise<void> done;
    QElapsedTimer elapsed;
    elapsed.start();
    auto *poll = new QTimer(this);
    const auto check = [self = QPointer<API>(this), poll, elapsed, wait, done]() {
        if (self && self->m_connector.isBusy() && elapsed.elapsed() < wait.count())
            return;
        poll->deleteLater();
        poll->stop();
        if (self) {
            const int left = self->m_kept.size();
            self->writeKeptEvents();
            if (left > 0)
                qInfo().noquote() << QStringLiteral("Call events kept for the next start: %1").arg(left);
        }
        done.resolve();
    };
    connect(poll, &QTimer::timeout, this, check);
    poll->start(20);
    return done;
}

} // namespace Orvix::CRM::Bitrix
