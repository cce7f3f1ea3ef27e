#include "crm/bitrix/taskqueue.h"
#include "crmtestsupport.h"

#include <QtTest>

using Orvix::CRM::Bitrix::TaskQueue;
using Orvix::Utils::MsgBuilder;
using Orvix::Utils::Promise;

class tst_TaskQueue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneAtATimeInOrder_data();
    void oneAtATimeInOrder();
    void nothingRunsBeforeStart();
    void secondStartKeepsOneTimer();
};

void tst_TaskQueue::oneAtATimeInOrder_data()
{
    QTest::addColumn<QList<bool>>("outcomes"); // per task: resolves, else rejects
    QTest::addColumn<QStringList>("calls");    // per task: its call; empty: all of one call
    QTest::newRow("all complete") << QList<bool>{true, true, true} << QStringList();
    QTest::newRow("a rejected task lets the next run") << QList<bool>{false, true, false} << QStringList();
    // A task waiting for the portal holds its own call's later tasks, never another call's.
    QTest::newRow("another call's tasks run while one waits")
        << QList<bool>{true, true, true, true} << QStringList{"a", "b", "a", "c"};
}

void tst_TaskQueue::oneAtATimeInOrder()
{
    QFETCH(QList<bool>, outcomes);
    QFETCH(QStringList, calls);
    LogCapture log;
    TaskQueue queue;
    QList<int> started;
    QList<Promise<void>> promises;
    QList<MsgBuilder> traces;
    for (int i = 0; i < outcomes.size(); ++i) {
        traces.append(MsgBuilder(calls.isEmpty() ? QStringLiteral("1700000000.1") : calls.at(i),
                                 MsgBuilder::TaskName(MsgBuilder::CallStarted + i), MsgBuilder::NoChildTask));
        promises.append(Promise<void>());
        queue.enqueue(traces.last(), [&started, i, promise = promises.last()]() {
            started.append(i);
            return promise;
        });
    }
    queue.start();

    if (!calls.isEmpty()) {
        // The first task of every call starts at once; the second of call "a" waits for its first only.
        QTRY_COMPARE(started, (QList<int>{0, 1, 3}));
        promises.at(1).resolve();
        queue.executeNextTask();
        QCOMPARE(started.size(), 3);
        promises.at(0).resolve();
        QTRY_COMPARE(started, (QList<int>{0, 1, 3, 2}));
        return;
    }
    for (int i = 0; i < outcomes.size(); ++i) {
        QTRY_COMPARE(started.size(), i + 1);
        QCOMPARE(started.last(), i);
        // However many ticks come, the next task waits for this one's promise.
        queue.executeNextTask();
        queue.executeNextTask();
        QCOMPARE(started.size(), i + 1);
        QVERIFY(queue.isBusy());
        if (outcomes.at(i))
            promises.at(i).resolve();
        else
            promises.at(i).reject();
        QVERIFY(!queue.isBusy());
        const auto status = outcomes.at(i) ? MsgBuilder::Completed : MsgBuilder::NotCompleted;
        QCOMPARE(LogCapture::matching(traces.at(i).build(status, QString())).size(), 1);
    }
    QCOMPARE(queue.size(), 0);
    // A tick on an empty queue does nothing.
    queue.executeNextTask();
    QVERIFY(!queue.isBusy());
}

void tst_TaskQueue::nothingRunsBeforeStart()
{
    TaskQueue queue;
    bool ran = false;
    queue.enqueue(MsgBuilder(), [&ran]() {
        ran = true;
        Promise<void> done;
        done.resolve();
        return done;
    });
    QVERIFY(!queue.isRunning());
    QCoreApplication::processEvents();
    QVERIFY(!ran);
    queue.start();
    QTRY_VERIFY(ran);
}

void tst_TaskQueue::secondStartKeepsOneTimer()
{
    TaskQueue queue;
    queue.start();
    queue.start();
    QCOMPARE(queue.findChildren<QTimer *>().size(), 1);
    QVERIFY(queue.isRunning());
}

QTEST_GUILESS_MAIN(tst_TaskQueue)
#include "tst_taskqueue.moc"
