#include "crm/bitrix/taskqueue.h"

#include <QDebug>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace Orvix::CRM::Bitrix {

TaskQueue::TaskQueue(QObject *parent)
    : QObject(parent)
{
}

void TaskQueue::enqueue(const Utils::MsgBuilder &trace, Function function)
{
    CallTasks &call = m_calls[trace.id()];
    call.waiting.push_back(Task{trace, std::move(function), ++m_arrivals});
    ++m_waitingCount;
    if (!call.running && !call.scheduled) {
        call.scheduled = true;
        m_ready.push_back(trace.id());
    }
}

void TaskQueue::start()
{
    if (m_timer)
        return;
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &TaskQueue::executeNextTask);
    m_timer->start(kTaskInterval);
}

bool TaskQueue::isRunning() const
{
    return m_timer && m_timer->isActive();
}

void TaskQueue::executeNextTask()
{
    if (m_inTick)
        return;
    m_inTick = true;
    m_ready.insert(m_ready.end(), m_readyNextTick.begin(), m_readyNextTick.end());
    m_readyNextTick.clear();
    // Calls start in the order their next tasks arrived, as one queue of all tasks would start them.
    const auto headOrder = [this](const QString &call) -> quint64 {
        const auto it = m_calls.constFind(call);
        return it == m_calls.cend() || it->waiting.empty() ? 0 : it->waiting.front().order;
    };
    std::sort(m_ready.begin(), m_ready.end(),
              [&headOrder](const QString &a, const QString &b) { return headOrder(a) < headOrder(b); });
    // A task may queue another one: a call with nothing running starts it within this tick too.
    for (std::size_t i = 0; i < m_ready.size(); ++i) {
        const QString call = m_ready[i];
        const auto it = m_calls.find(call);
        if (it == m_calls.end())
            continue;
        it->scheduled = false;
        if (it->waiting.empty()) {
            m_calls.erase(it);
            continue;
        }
        const Task task = std::move(it->waiting.front());
        it->waiting.pop_front();
        it->running = true;
        --m_waitingCount;
        ++m_runningCount;
        run(task);
    }
    m_ready.clear();
    m_inTick = false;
}

void TaskQueue::run(const Task &task)
{
    const Utils::MsgBuilder trace = task.trace;
    const Utils::Promise<void> done = task.function ? task.function() : Utils::Promise<void>();
    if (!task.function)
        done.reject();
    const auto finished = [self = QPointer<TaskQueue>(this), trace](Utils::MsgBuilder::TaskStatus status) {
        if (self)
            self->onFinished(trace.id());
        qInfo().noquote() << trace.build(status, QString());
    };
    done.onResolve([finished]() { finished(Utils::MsgBuilder::Completed); });
    done.onReject([finished]() { finished(Utils::MsgBuilder::NotCompleted); });
}

void TaskQueue::onFinished(const QString &call)
{
    const auto it = m_calls.find(call);
    if (it == m_calls.end() || !it->running)
        return;
    it->running = false;
    --m_runningCount;
    // Settled within a tick: the call's next task waits for the next one, even one queued meanwhile.
    if (m_inTick) {
        it->scheduled = true;
        m_readyNextTick.push_back(call);
    } else if (!it->waiting.empty()) {
        it->scheduled = true;
        m_ready.push_back(call);
    } else {
        m_calls.erase(it);
    }
}

} // namespace Orvix::CRM::Bitrix
