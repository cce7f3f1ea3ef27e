#include "utils/promise.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QJsonObject>
#include <QSemaphore>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <QtTest>

#include <memory>
#include <vector>

using Orvix::Utils::Promise;

enum class Settle { Resolve, Reject };
Q_DECLARE_METATYPE(Settle)

namespace {

// Runs fn on a fresh thread and waits for it; the thread has no event loop of its own.
template <typename Fn>
void runOnThread(Fn fn)
{
    std::unique_ptr<QThread> thread(QThread::create(std::move(fn)));
    thread->start();
    thread->wait();
}

void processDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class tst_Promise : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sameThreadRunsInsideSettleInOrder();
    void firstSettlementWins_data();
    void firstSettlementWins();
    void registerAfterSettle_data();
    void registerAfterSettle();
    void callbacksGetOwnCopies();
    void voidForms();
    void callbacksNestAndResettleWithoutDeadlock();
    void crossThreadDeliveryRunsOnRegisteringThread();
    void workerDropsLastHandleAfterSettling();
    void concurrentSettlersAgreeOnOneOutcome();
    void droppedUnsettledReleasesCallbacks_data();
    void droppedUnsettledReleasesCallbacks();
    void settlingReleasesOtherOutcome_data();
    void settlingReleasesOtherOutcome();
    void proxyTo_data();
    void proxyTo();
    void all_data();
    void all();
    void allWithPendingNeverResolves();
    void allOfPromisesSettledOnWorker();
};

void tst_Promise::sameThreadRunsInsideSettleInOrder()
{
    Promise<int, QString> promise;
    QStringList calls;
    promise.onResolve([&](int v) { calls << QStringLiteral("a%1").arg(v); })
        .onReject([&](const QString &) { calls << QStringLiteral("rejected"); })
        .onResolve([&](int v) { calls << QStringLiteral("b%1").arg(v); });
    QVERIFY(calls.isEmpty());
    promise.resolve(7);
    QCOMPARE(calls, (QStringList{"a7", "b7"}));
    promise.reject(QStringLiteral("late"));
    QCoreApplication::processEvents();
    QCOMPARE(calls, (QStringList{"a7", "b7"}));
}

void tst_Promise::firstSettlementWins_data()
{
    QTest::addColumn<Settle>("first");
    QTest::addColumn<Settle>("second");
    QTest::newRow("resolve, resolve") << Settle::Resolve << Settle::Resolve;
    QTest::newRow("resolve, reject") << Settle::Resolve << Settle::Reject;
    QTest::newRow("reject, resolve") << Settle::Reject << Settle::Resolve;
    QTest::newRow("reject, reject") << Settle::Reject << Settle::Reject;
}

void tst_Promise::firstSettlementWins()
{
    QFETCH(Settle, first);
    QFETCH(Settle, second);
    Promise<int, QString> promise;
    QStringList seen;
    promise.onResolve([&](int v) { seen << QString::number(v); });
    promise.onReject([&](const QString &e) { seen << e; });

    const auto settle = [&](Settle how, int n) {
        if (how == Settle::Resolve)
            promise.resolve(n);
        else
            promise.reject(QStringLiteral("e%1").arg(n));
    };
    settle(first, 1);
    settle(second, 2);
    QCoreApplication::processEvents();

    const QString expected = first == Settle::Resolve ? QStringLiteral("1") : QStringLiteral("e1");
    QCOMPARE(seen, QStringList{expected});
    // A late registration sees the first outcome as well.
    promise.onResolve([&](int v) { seen << QString::number(v); });
    promise.onReject([&](const QString &e) { seen << e; });
    QCOMPARE(seen, (QStringList{expected, expected}));
}

void tst_Promise::registerAfterSettle_data()
{
    QTest::addColumn<Settle>("settled");
    QTest::addColumn<Settle>("registered");
    QTest::addColumn<bool>("runs");
    QTest::newRow("resolved, onResolve") << Settle::Resolve << Settle::Resolve << true;
    QTest::newRow("resolved, onReject") << Settle::Resolve << Settle::Reject << false;
    QTest::newRow("rejected, onReject") << Settle::Reject << Settle::Reject << true;
    QTest::newRow("rejected, onResolve") << Settle::Reject << Settle::Resolve << false;
}

void tst_Promise::registerAfterSettle()
{
    QFETCH(Settle, settled);
    QFETCH(Settle, registered);
    QFETCH(bool, runs);
    Promise<QString, int> promise;
    const Promise<QString, int> other = promise; // settle through a copy
    if (settled == Settle::Resolve)
        other.resolve(QStringLiteral("v"));
    else
        other.reject(5);

    int calls = 0;
    if (registered == Settle::Resolve)
        promise.onResolve([&](const QString &v) { calls += v == QLatin1String("v"); });
    else
        promise.onReject([&](int e) { calls += e == 5; });
    // Runs before the registration returns, not from the event loop.
    QCOMPARE(calls, runs ? 1 : 0);
    QCoreApplication::processEvents();
    processDeferredDeletes();
    QCOMPARE(calls, runs ? 1 : 0);
}

void tst_Promise::callbacksGetOwnCopies()
{
    Promise<QJsonObject> promise;
    QJsonObject seenFirst;
    QJsonObject seenSecond;
    promise.onResolve([&](QJsonObject o) {
        o.insert(QStringLiteral("changed"), true);
        seenFirst = o;
    });
    promise.onResolve([&](QJsonObject o) { seenSecond = o; });
    promise.resolve(QJsonObject{{"id", 1}});
    QCOMPARE(seenFirst, (QJsonObject{{"id", 1}, {"changed", true}}));
    QCOMPARE(seenSecond, (QJsonObject{{"id", 1}}));
}

void tst_Promise::voidForms()
{
    Promise<void> plain;
    int resolved = 0;
    plain.onResolve([&] { ++resolved; });
    plain.resolve();
    QCOMPARE(resolved, 1);

    Promise<void, QJsonObject> withReason;
    QJsonObject reason;
    withReason.onResolve([&] { ++resolved; }).onReject([&](const QJsonObject &r) { reason = r; });
    withReason.reject(QJsonObject{{"error", "x"}});
    QCOMPARE(reason.value("error").toString(), QStringLiteral("x"));
    QCOMPARE(resolved, 1);

    Promise<int> noReason;
    int rejected = 0;
    noReason.onResolve([&](int) { ++resolved; }).onReject([&] { ++rejected; });
    noReason.reject();
    QCOMPARE(rejected, 1);
    QCOMPARE(resolved, 1);
}

void tst_Promise::callbacksNestAndResettleWithoutDeadlock()
{
    Promise<int> promise;
    QStringList calls;
    promise.onResolve([&](int v) {
        calls << QStringLiteral("outer");
        promise.resolve(v + 1); // ignored, must not deadlock
        promise.onResolve([&](int inner) { calls << QStringLiteral("inner%1").arg(inner); });
        calls << QStringLiteral("outer done");
    });
    promise.resolve(1);
    QCOMPARE(calls, (QStringList{"outer", "inner1", "outer done"}));
}

void tst_Promise::crossThreadDeliveryRunsOnRegisteringThread()
{
    constexpr int kCount = 1000;
    QVector<Promise<int>> promises(kCount);
    QVector<int> runs(kCount, 0);
    QAtomicInt offMainThread = 0;
    QThread *const mainThread = QThread::currentThread();

    // The worker settles while this thread is still registering, so both the queued path and the
    // run-at-once path are taken; either way each callback runs once, here.
    QSemaphore started;
    std::unique_ptr<QThread> worker(QThread::create([&promises, &started] {
        started.release();
        for (const Promise<int> &p : qAsConst(promises))
            p.resolve(42);
    }));
    worker->start();
    started.acquire();
    for (int i = 0; i < kCount; ++i) {
        promises[i].onResolve([&, i](int v) {
            if (QThread::currentThread() != mainThread || v != 42)
                offMainThread.ref();
            ++runs[i];
        });
    }
    QVERIFY(worker->wait(30000));
    QTRY_VERIFY(std::all_of(runs.cbegin(), runs.cend(), [](int n) { return n >= 1; }));
    QCoreApplication::processEvents();
    QCOMPARE(offMainThread.loadRelaxed(), 0);
    QVERIFY(std::all_of(runs.cbegin(), runs.cend(), [](int n) { return n == 1; }));
}

void tst_Promise::workerDropsLastHandleAfterSettling()
{
    // The callback's delivery is queued when the worker drops the state; it must still arrive.
    bool ran = false;
    QThread *ranOn = nullptr;
    {
        Promise<QString> promise;
        promise.onResolve([&](const QString &v) {
            ran = v == QLatin1String("done");
            ranOn = QThread::currentThread();
        });
        auto handle = std::make_shared<Promise<QString>>(promise);
        promise = Promise<QString>();
        runOnThread([handle]() mutable {
            handle->resolve(QStringLiteral("done"));
            handle.reset();
        });
    }
    QTRY_VERIFY(ran);
    QCOMPARE(ranOn, QThread::currentThread());
}

void tst_Promise::concurrentSettlersAgreeOnOneOutcome()
{
    constexpr int kThreads = 8;
    for (int round = 0; round < 50; ++round) {
        Promise<int, int> promise;
        QVector<int> outcomes; // resolved values as is, rejections as negatives
        promise.onResolve([&](int v) { outcomes << v; }).onReject([&](int e) { outcomes << -e; });

        QSemaphore go;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 1; t <= kThreads; ++t) {
            threads.emplace_back(QThread::create([promise, t, &go] {
                go.acquire();
                if (t % 2)
                    promise.resolve(t);
                else
                    promise.reject(t);
            }));
            threads.back()->start();
        }
        go.release(kThreads);
        for (auto &thread : threads)
            QVERIFY(thread->wait(30000));
        QTRY_COMPARE(outcomes.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(outcomes.size(), 1);
        const int first = outcomes.first();
        QVERIFY(first != 0 && qAbs(first) <= kThreads && (first > 0) == (qAbs(first) % 2 == 1));

        promise.onResolve([&](int v) { outcomes << v; }).onReject([&](int e) { outcomes << -e; });
        QCOMPARE(outcomes, (QVector<int>{first, first}));
    }
}

void tst_Promise::droppedUnsettledReleasesCallbacks_data()
{
    QTest::addColumn<bool>("dropOnWorker");
    QTest::newRow("dropped on the registering thread") << false;
    QTest::newRow("dropped on another thread") << true;
}

void tst_Promise::droppedUnsettledReleasesCallbacks()
{
    QFETCH(bool, dropOnWorker);
    auto token = QSharedPointer<int>::create(0);
    const QWeakPointer<int> watch = token;
    int ran = 0;
    {
        Promise<int, QString> promise;
        promise.onResolve([token, &ran](int) { ++ran; });
        promise.onReject([token, &ran](const QString &) { ++ran; });
        token.reset();
        if (dropOnWorker) {
            auto handle = std::make_shared<Promise<int, QString>>(promise);
            promise = Promise<int, QString>();
            runOnThread([handle]() mutable { handle.reset(); });
        }
    }
    QTRY_VERIFY(watch.isNull());
    QCOMPARE(ran, 0);
}

void tst_Promise::settlingReleasesOtherOutcome_data()
{
    QTest::addColumn<Settle>("outcome");
    QTest::newRow("resolved: reject callbacks go") << Settle::Resolve;
    QTest::newRow("rejected: resolve callbacks go") << Settle::Reject;
}

void tst_Promise::settlingReleasesOtherOutcome()
{
    // A long-lived promise (kept by its worker) must not keep the callbacks of the outcome that did
    // not happen, nor what they captured.
    QFETCH(Settle, outcome);
    auto token = QSharedPointer<int>::create(0);
    const QWeakPointer<int> watch = token;
    int ran = 0;
    Promise<QString, int> promise;
    if (outcome == Settle::Resolve) {
        promise.onReject([token, &ran](int) { ++ran; });
        token.reset();
        promise.resolve(QStringLiteral("v"));
    } else {
        promise.onResolve([token, &ran](const QString &) { ++ran; });
        token.reset();
        promise.reject(1);
    }
    processDeferredDeletes();
    QVERIFY(watch.isNull());
    QCOMPARE(ran, 0);
}

void tst_Promise::proxyTo_data()
{
    QTest::addColumn<Settle>("outcome");
    QTest::addColumn<bool>("settleFirst");
    QTest::newRow("resolved later") << Settle::Resolve << false;
    QTest::newRow("resolved before") << Settle::Resolve << true;
    QTest::newRow("rejected later") << Settle::Reject << false;
    QTest::newRow("rejected before") << Settle::Reject << true;
}

void tst_Promise::proxyTo()
{
    QFETCH(Settle, outcome);
    QFETCH(bool, settleFirst);
    Promise<QString> source;
    Promise<QString> target;
    QStringList seen;
    target.onResolve([&](const QString &v) { seen << v; }).onReject([&] { seen << QStringLiteral("rejected"); });

    const auto settle = [&] {
        if (outcome == Settle::Resolve)
            source.resolve(QStringLiteral("value"));
        else
            source.reject();
    };
    if (settleFirst)
        settle();
    source.proxyTo(target);
    if (!settleFirst)
        settle();
    QCOMPARE(seen, QStringList{outcome == Settle::Resolve ? QStringLiteral("value") : QStringLiteral("rejected")});

    Promise<void> voidSource;
    Promise<void> voidTarget;
    QStringList voidSeen;
    voidTarget.onResolve([&] { voidSeen << QStringLiteral("resolved"); }).onReject([&] {
        voidSeen << QStringLiteral("rejected");
    });
    const auto settleVoid = [&] {
        if (outcome == Settle::Resolve)
            voidSource.resolve();
        else
            voidSource.reject();
    };
    if (settleFirst)
        settleVoid();
    voidSource.proxyTo(voidTarget);
    if (!settleFirst)
        settleVoid();
    QCOMPARE(voidSeen, QStringList{outcome == Settle::Resolve ? QStringLiteral("resolved") : QStringLiteral("rejected")});
}

void tst_Promise::all_data()
{
    QTest::addColumn<QString>("outcomes"); // one letter per listed promise: r resolve, x reject
    QTest::addColumn<bool>("settleBefore");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("mixed, settled after") << QStringLiteral("rxr") << false;
    QTest::newRow("rejected last") << QStringLiteral("rrx") << false;
    QTest::newRow("all rejected") << QStringLiteral("xx") << false;
    QTest::newRow("all settled before") << QStringLiteral("rxr") << true;
}

void tst_Promise::all()
{
    QFETCH(QString, outcomes);
    QFETCH(bool, settleBefore);
    QList<Promise<int>> promises;
    for (int i = 0; i < outcomes.size(); ++i)
        promises << Promise<int>();
    const auto settleAll = [&](int upTo) {
        for (int i = 0; i < upTo; ++i) {
            if (outcomes.at(i) == QLatin1Char('r'))
                promises.at(i).resolve(i);
            else
                promises.at(i).reject();
        }
    };
    if (settleBefore)
        settleAll(promises.size());

    Promise<void> result = Promise<void>::all(promises);
    QCOMPARE(promises.size(), outcomes.size()); // the caller's list is left alone
    int resolved = 0;
    int rejected = 0;
    result.onResolve([&] { ++resolved; }).onReject([&] { ++rejected; });
    if (settleBefore || outcomes.isEmpty()) {
        QCOMPARE(resolved, 1);
        return;
    }

    // Settle all but the last: still pending.
    settleAll(promises.size() - 1);
    QCOMPARE(resolved, 0);
    const int last = promises.size() - 1;
    if (outcomes.at(last) == QLatin1Char('r'))
        promises.at(last).resolve(last);
    else
        promises.at(last).reject();
    QCOMPARE(resolved, 1);
    QCOMPARE(rejected, 0);
}

void tst_Promise::allWithPendingNeverResolves()
{
    Promise<QJsonObject> settled;
    Promise<QJsonObject> pending;
    settled.resolve(QJsonObject());
    bool resolved = false;
    Promise<void>::all(QList<Promise<QJsonObject>>{settled, pending, settled}).onResolve([&] { resolved = true; });
    QCoreApplication::processEvents();
    // The settled promise is listed twice and counts twice, so only the pending one is missing.
    QVERIFY(!resolved);
    pending.resolve(QJsonObject());
    QVERIFY(resolved);
}

void tst_Promise::allOfPromisesSettledOnWorker()
{
    // The count is kept on this thread: the checks of promises settled elsewhere arrive through its
    // event loop, and the result settles once, here, after the last of them.
    constexpr int kCount = 200;
    QList<Promise<void>> promises;
    for (int i = 0; i < kCount; ++i)
        promises << Promise<void>();
    int resolved = 0;
    QThread *resolvedOn = nullptr;
    Promise<void>::all(promises).onResolve([&] {
        ++resolved;
        resolvedOn = QThread::currentThread();
    });

    runOnThread([promises] {
        for (int i = 0; i < promises.size() - 1; ++i) {
            if (i % 3)
                promises.at(i).resolve();
            else
                promises.at(i).reject();
        }
    });
    QCoreApplication::processEvents();
    QCOMPARE(resolved, 0);

    runOnThread([promises] { promises.last().reject(); });
    QTRY_COMPARE(resolved, 1);
    QCOMPARE(resolvedOn, QThread::currentThread());
    QCoreApplication::processEvents();
    QCOMPARE(resolved, 1);
}

QTEST_GUILESS_MAIN(tst_Promise)
#include "tst_promise.moc"
