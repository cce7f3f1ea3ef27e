#pragma once

#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QList>
#include <QSet>
#include <QObject>

#include <chrono>
#include <functional>

class QTimer;

namespace Orvix::CRM::Bitrix {

inline constexpr std::chrono::milliseconds kTaskInterval{50};

// The CRM work of the call events. The tasks of one call (the id of their trace) run one at a time in
// arrival order: a task starts only when the previous task of its call has settled, so the REST requests
// of one call keep the order of the PBX events. Tasks of different calls run side by side, so a call whose
// work waits for the portal holds no other. A 50 ms timer starts what may start. Main thread only; owned
// by the CRM API.
class TaskQueue : public QObject
{
    Q_OBJECT

public:
    using Function = std::function<Utils::Promise<void>()>;

    explicit TaskQueue(QObject *parent = nullptr);

    // Nothing runs now; the timer takes it.
    void enqueue(const Utils::MsgBuilder &trace, Function function);
    // Starts the timer; later calls keep the running one. Nothing stops it: tasks queued while the
    // CRM side is stopped still run, their requests go to the stopped connector.
    void start();

    bool isRunning() const;
    // A task is running.
    bool isBusy() const { return !m_running.isEmpty(); }
    int size() const { return m_tasks.size(); }

public Q_SLOTS:
    void executeNextTask();

private:
    struct Task
    {
        Utils::MsgBuilder trace;
        Function function;
    };

    void run(const Task &task);

    QList<Task> m_tasks;
    QSet<QString> m_running; // calls with a task running
    QTimer *m_timer = nullptr;
};

} // namespace Orvix::CRM::Bitrix
