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

void API::keepEvent(Kind kind, const QString &callId, qint64 row, const QJsonObject &data, const MsgBuilder &trace,
                    EventWork work)
{
    const KeptEvents::Event event = KeptEvents::make(++m_lastEventSequence, kind, callId, row, data);
    // Read again from CEL after a stop whose state the PBX link had not written yet: kept already, or done.
    if (row > 0 && (row <= m_readAgainUpTo || m_readAgainKeys.contains(event.key()))) {
        qDebug().noquote() << trace.build(MsgBuilder::Warning,
                                          QStringLiteral("CEL row %1 was handled before the stop").arg(row));
        return;
    }
    // From now on a card would come too late for the call.
    if (kind == Kind::CallEnded)
        m_endedCalls.insert(callId);
    m_kept.insert(event.sequence, event);
    m_eventWork.insert(event.sequence, std::move(work));
    m_keptChanged = true;
    const quint64 sequence = event.sequence;
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
    switch (event.kind) {
    case Kind::CallStarted:
        return onCallStartedTask(Call(event.data), trace, event.sequence);
    case Kind::ConversationRequested:
        return onConversationRequestedTask(Conversation(event.data), trace, event.sequence);
    case Kind::ConversationAccepted:
        return onConversationAcceptedTask(Conversation(event.data), trace);
    case Kind::ConversationEnded:
        return onConversationEndedTask(Conversation(event.data), trace);
    case Kind::CallEnded:
        return onCallEndedTask(Call(event.data), trace);
    case Kind::CallTransferred:
        break;
    }
    return onCallTransferredTask(event.callId, trace);
}

Connector::RegisterMemo API::registerMemo(quint64 sequence, const QString &callId)
{
    const QJsonObject registered = m_kept.value(sequence).registered;
    // The record the first register bound was added for this call: the register sent again made it too.
    if (registered.value(QLatin1String("entity_created")).toBool())
        onNewEntityCreated(callId);
    const auto sending = [self = QPointer<API>(this), sequence, callId](const QJsonObject &params) {
        if (!self || !self->m_kept.contains(sequence))
            return;
        const bool created = self->m_newEntityCalls.contains(callId);
        KeptEvents::setRegistered(&self->m_kept[sequence], QJsonObject{{QStringLiteral("params"), params},
                                                                       {QStringLiteral("entity_created"), created}});
        // On disk before the portal may have done it: a stop before its answer sends the same again.
        self->m_keptChanged = true;
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
        m_kept.remove(sequence);
        m_eventWork.remove(sequence);
        m_keptChanged = true;
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
    m_kept.remove(sequence);
    m_eventWork.remove(sequence);
    m_keptChanged = true;
    if (!m_keptTimer.isActive()) {
        m_keptTimer.setSingleShot(true);
        m_keptTimer.start(kKeptWriteDelay);
    }
}

void API::loadKeptEvents()
{
    if (m_keptFile.filePath().isEmpty()) {
        m_keptFile.setFilePath(keptEventsFilePath());
        connect(&m_keptTimer, &QTimer::timeout, this, &API::writeKeptEvents);
    }
    // Once a process: a restart of the links has them in memory.
    if (m_lastEventSequence > 0)
        return;
    qint64 position = 0;
    const QList<KeptEvents::Event> events = m_keptFile.load(&position);
    m_readAgainUpTo = position;
    m_keptPosition = position;
    for (KeptEvents::Event event : events) {
        event.sequence = ++m_lastEventSequence;
        if (event.row > position)
            m_readAgainKeys.insert(event.key());
        if (event.kind == Kind::CallEnded)
            m_endedCalls.insert(event.callId);
        m_ledger.replayed(event.callId);
        m_kept.insert(event.sequence, event);
        m_cutEvents[event.callId].append(event.sequence);
    }
    if (!events.isEmpty())
        qInfo().noquote() << QStringLiteral("Call events kept from before the stop, done now: %1").arg(events.size());
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

void API::keepEventsUpTo(qint64 position)
{
    if (position != m_keptPosition) {
        m_keptPosition = position;
        m_keptChanged = true;
    }
    writeKeptEvents();
}

void API::writeKeptEvents()
{
    m_keptTimer.stop();
    if (!m_keptChanged)
        return;
    m_keptChanged = false;
    if (m_keptFile.filePath().isEmpty())
        m_keptFile.setFilePath(keptEventsFilePath());
    m_keptFile.save(m_keptPosition, m_kept.values());
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
            self->m_keptChanged = true;
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
