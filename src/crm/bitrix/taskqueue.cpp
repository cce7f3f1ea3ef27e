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
    // Every call whose next task may run now starts it; one call's waiting task holds its later ones.
    QSet<QString> held = m_running;
    for (int i = 0; i < m_tasks.size();) {
        const QString call = m_tasks.at(i).trace.id();
        if (held.contains(call)) {
            ++i;
            continue;
        }
        held.insert(call);
        m_running.insert(call);
        const Task task = m_tasks.takeAt(i);
        run(task);
    }
}

void TaskQueue::run(const Task &task)
{
    const Utils::MsgBuilder trace = task.trace;
    const Utils::Promise<void> done = task.function ? task.function() : Utils::Promise<void>();
    if (!task.function)
        done.reject();
    const auto finished = [self = QPointer<TaskQueue>(this), trace](Utils::MsgBuilder::TaskStatus status) {
        if (self)
            self->m_running.remove(trace.id());
        qInfo().noquote() << trace.build(status, QString());
    };
    done.onResolve([finished]() { finished(Utils::MsgBuilder::Completed); });
    done.onReject([finished]() { finished(Utils::MsgBuilder::NotCompleted); });
}

} // namespace Orvix::CRM::Bitrix
