#pragma once

#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <vector>

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
    bool isBusy() const { return m_runningCount > 0; }
    int size() const { return m_waitingCount; }

public Q_SLOTS:
    void executeNextTask();

private:
    struct Task
    {
        Utils::MsgBuilder trace;
        Function function;
        quint64 order = 0; // arrival
    };
    struct CallTasks
    {
        std::deque<Task> waiting;
        bool running = false;
        bool scheduled = false; // in m_ready or m_readyNextTick
    };

    void run(const Task &task);
    void onFinished(const QString &call);

    // Only the calls with work: a busy PBX tracks thousands, and every tick and every task touches
    // only the calls that may start one (a call whose task runs and waits for the portal costs nothing).
    QHash<QString, CallTasks> m_calls;
    // The calls whose next task may start at the next tick: none of theirs runs.
    std::vector<QString> m_ready;
    // Calls whose task settled during a tick start their next one at the following tick, as always.
    std::vector<QString> m_readyNextTick;
    bool m_inTick = false;
    quint64 m_arrivals = 0;
    int m_waitingCount = 0;
    int m_runningCount = 0;
    QTimer *m_timer = nullptr;
};

} // namespace Orvix::CRM::Bitrix
