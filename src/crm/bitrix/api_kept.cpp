// The call events the CRM flow keeps until their work is done: handed over by the PBX link, written beside
// its state before it saves its position, held while the link to the CRM is stopped, and run again after a
// stop that cut them short (a restart of the links or of the service).

#include "crm/bitrix/api.h"
#include "crm/bitrix/api_p.h"

#include "config/generateddirectory.h"
#include "entities/clock.h"

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
// What the stage of a kept event read of its call's transfer when it first ran.
inline constexpr QLatin1String kTransferred("transferred");
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
              [self = QPointer<API>(this), call](const MsgBuilder &line, quint64 sequence) {
                  return self ? self->onCallEndedTask(call, line, sequence) : resolved();
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
    // Fixed at the first use: the path is not worked out again for every event.
    if (m_journal.filePath().isEmpty())
        m_journal.useFilePath(keptEventsFilePath());
}

QDateTime API::pbxNow() const
{
    if (!m_pbxClock)
        return Entities::Clock::now();
    const QDateTime now = m_pbxClock();
    return now.isValid() ? now : m_journal.newestStamp();
}

qint64 API::ageSecs(const QDateTime &at) const
{
    const QDateTime now = pbxNow();
    return now.isValid() && at.isValid() ? at.secsTo(now) : 0;
}

qint64 API::keptSecs(const KeptEvents::Event &event) const
{
    const auto handedOver = m_eventWork.constFind(event.sequence);
    return handedOver != m_eventWork.cend() ? handedOver->since.elapsed() / 1000 : ageSecs(event.at);
}

qint64 API::owedSecs(const RegistrationStore::Upload &upload) const
{
    return upload.owedHere.isValid() ? upload.owedHere.elapsed() / 1000 : ageSecs(upload.owedSince);
}

void API::keepEvent(Kind kind, const QString &callId, qint64 row, const QJsonObject &data, const MsgBuilder &trace,
                    EventWork work)
{
    useKeptEventsFile();
    // Stamped on the PBX's clock; before it is known (no row read yet), with no time, which counts as new.
    const quint64 sequence = m_journal.add(kind, callId, row, data, pbxNow());
    if (sequence == 0) {
        // Read again from CEL after a stop whose state the PBX link had not written yet: kept already, or done.
        qDebug().noquote() << trace.build(MsgBuilder::Warning,
                                          row > 0 ? QStringLiteral("CEL row %1 was handled before the stop").arg(row)
                                                  : QStringLiteral("This event was handled before the stop"));
        return;
    }
    // From now on a card would come too late for the call.
    if (kind == Kind::CallEnded)
        m_endedCalls.insert(callId);
    QElapsedTimer since;
    since.start();
    m_eventWork.insert(sequence, {std::move(work), since});
    enqueueTask(trace, [self = QPointer<API>(this), sequence, trace]() {
        return self ? self->runKeptEvent(sequence, trace) : resolved();
    });
}

Promise<void> API::eventBody(const KeptEvents::Event &event, const MsgBuilder &trace)
{
    // The event as the PBX link handed it over; one a previous run kept, as its file holds it.
    const auto work = m_eventWork.constFind(event.sequence);
    if (work != m_eventWork.constEnd())
        return work->work(trace, event.sequence);
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
        return onCallEndedTask(Call(data), trace, event.sequence);
    case Kind::CallTransferred:
        break;
    }
    return onCallTransferredTask(event.callId, trace);
}

Connector::RegisterMemo API::registerMemo(quint64 sequence, const QString &callId)
{
    const KeptEvents::Event event = m_journal.event(sequence);
    const QJsonObject registered = event.registered();
    const qint64 age = keptSecs(event);
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
        if (!self || !self->m_journal.contains(sequence))
            return;
        const bool created = self->m_newEntityCalls.contains(callId);
        self->m_journal.setMember(sequence, QLatin1String("registered"),
                                  QJsonObject{{QStringLiteral("params"), params},
                                              {QStringLiteral("entity_created"), created}});
        // On disk before the portal may have done it: a stop before its answer sends the same again.
        self->m_journal.writeRecords();
    };
    return {registered.value(QLatin1String("params")).toObject(), sending};
}

bool API::wasTransferredWhenKept(quint64 sequence, const Conversation &conversation, const MsgBuilder &trace)
{
    const QJsonValue read = m_journal.event(sequence).member(kTransferred);
    if (!read.isBool()) {
        const bool transferred = wasTransferred(conversation, trace);
        // Written with the next write, which comes before any change of the call's facts is saved.
        m_journal.setMember(sequence, kTransferred, transferred);
        return transferred;
    }
    MsgBuilder line = trace;
    line.setChildTask(MsgBuilder::WasTransferred);
    qDebug().noquote() << line.build(read.toBool() ? MsgBuilder::Yes : MsgBuilder::No, conversation.toJsonString());
    return read.toBool();
}

Promise<void> API::runKeptEvent(quint64 sequence, const MsgBuilder &trace)
{
    Q_UNUSED(trace)
    Promise<void> done;
    const QString callId = m_journal.event(sequence).callId;
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
    QList<quint64> sequences = m_journal.takeCut(callId, upTo);
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
        for (const quint64 sequence : qAsConst(sequences))
            m_journal.cut(sequence);
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
    if (!m_journal.contains(sequence))
        return runInOrder(sequences, last, lastFailed);
    const KeptEvents::Event event = m_journal.event(sequence);
    const MsgBuilder trace(event.callId, taskOf(event.kind), MsgBuilder::NoChildTask);
    if (keptSecs(event) > ApiDetail::kOwedForAtMostSecs) {
        qWarning().noquote() << trace.build(MsgBuilder::Error,
                                            QStringLiteral("The CRM work of call [%1] kept since %2 is given up")
                                                .arg(event.callId, event.at.toString(Qt::ISODate)));
        dropKept(sequence);
        return runInOrder(sequences, last, lastFailed);
    }
    // What the stop refuses of its work from now on has it done again.
    const quint64 refusals = m_connector.stopRefusals(event.callId);
    const Promise<void> body = eventBody(event, trace);
    const auto next = [self = QPointer<API>(this), sequence, sequences, last, trace, result, refusals](bool failed) {
        if (sequence != last)
            qInfo().noquote() << trace.build(failed ? MsgBuilder::NotCompleted : MsgBuilder::Completed, QString());
        if (!self)
            return result.resolve();
        self->eventSettled(sequence, refusals);
        self->runInOrder(sequences, last, failed).proxyTo(result);
    };
    body.onResolve([next]() { next(false); });
    body.onReject([next]() { next(true); });
    return result;
}

void API::eventSettled(quint64 sequence, quint64 refusalsBefore)
{
    if (!m_journal.contains(sequence))
        return;
    // Ended while the link was stopped, a request of its work held back or refused by the stop: it goes again
    // at the start. One whose requests all went through (answered in the stop's wait) is done.
    const KeptEvents::Event event = m_journal.event(sequence);
    if ((!m_connector.isStarted() || m_shuttingDown) && m_connector.stopRefusals(event.callId) != refusalsBefore) {
        m_journal.cut(sequence);
        return;
    }
    dropKept(sequence);
    // The call's end is done: no later event of it looks at what a stop refused of its work.
    if (event.kind == Kind::CallEnded)
        m_connector.forgetStopRefusals(event.callId);
}

void API::dropKept(quint64 sequence)
{
    m_journal.drop(sequence);
    m_eventWork.remove(sequence);
}

void API::loadKeptEvents()
{
    useKeptEventsFile();
    m_journal.load();
    for (const KeptEvents::Event &event : m_journal.events()) {
        if (event.kind == Kind::CallEnded)
            m_endedCalls.insert(event.callId);
        m_ledger.replayed(event.callId);
    }
}

void API::resumeKeptEvents()
{
    for (const auto &run : std::exchange(m_heldForStart, {}))
        run();
    // Each call's events cut short go as one task, named after the last of them.
    const QMap<quint64, QString> byOrder = m_journal.cutCalls();
    for (auto it = byOrder.cbegin(); it != byOrder.cend(); ++it) {
        const QString callId = it.value();
        // Behind what its call has in the queue already, which runs them first.
        enqueueTask(MsgBuilder(callId, taskOf(m_journal.event(it.key()).kind), MsgBuilder::NoChildTask),
                    [self = QPointer<API>(this), callId]() {
                        return self ? self->runCallEvents(callId, 0) : resolved();
                    });
    }
}

bool API::keepEventsUpTo(qint64 position)
{
    useKeptEventsFile();
    return m_journal.coverUpTo(position);
}

void API::discardSavedWork()
{
    m_ledger.clear();
    m_eventWork.clear();
    m_ledger.save();
    useKeptEventsFile();
    m_journal.clear();
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
            const int left = self->m_journal.events().size();
            self->m_journal.write();
            self->m_ledger.compact();
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
