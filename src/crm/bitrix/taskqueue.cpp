#include "crm/bitrix/taskqueue.h"

#include <QDebug>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace Orvix::CRM::Bitrix {

TaskQueue::TaskQueue(QObject *parent)
    : QObject(parent)
{
}

void TaskQueue::enqueue(const Utils::MsgBuilder &trace, Function function)
{
    m_tasks.append(Task{trace, std::move(function)});
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
    if (m_busy || m_tasks.isEmpty())
        return;
    m_busy = true;
    const Task task = m_tasks.takeFirst();
    const Utils::MsgBuilder trace = task.trace;
    const Utils::Promise<void> done = task.function ? task.function() : Utils::Promise<void>();
    if (!task.function)
        done.reject();
    done.onResolve([self = QPointer<TaskQueue>(this), trace]() {
        if (self)
            self->m_busy = false;
        qInfo().noquote() << trace.build(Utils::MsgBuilder::Completed, QString());
    });
    done.onReject([self = QPointer<TaskQueue>(this), trace]() {
        if (self)
            self->m_busy = false;
        qInfo().noquote() << trace.build(Utils::MsgBuilder::NotCompleted, QString());
    });
}

} // namespace Orvix::CRM::Bitrix
