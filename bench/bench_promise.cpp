// Cost of the promise library per operation: resolve + callback on one thread (callback registered
// before and after settlement), and delivery of callbacks resolved on another thread.
#include "utils/promise.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QVector>

#include <cstdio>
#include <memory>

using Orvix::Utils::Promise;

namespace {

constexpr int kSameThreadCount = 200000;
constexpr int kCrossThreadCount = 100000;

void report(const char *what, qint64 nanoseconds, int count)
{
    std::printf("%-52s %10.1f ns/op  (%d ops)\n", what, double(nanoseconds) / count, count);
}

void sameThreadRegisteredFirst()
{
    long long sum = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kSameThreadCount; ++i) {
        Promise<int> promise;
        promise.onResolve([&sum](int v) { sum += v; });
        promise.resolve(i);
    }
    // Holders delete themselves later; count their deletion too.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    report("same thread, register then resolve", timer.nsecsElapsed(), kSameThreadCount);
    if (sum != (long long)kSameThreadCount * (kSameThreadCount - 1) / 2)
        std::printf("  unexpected sum %lld\n", sum);
}

void sameThreadSettledFirst()
{
    long long sum = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kSameThreadCount; ++i) {
        Promise<int> promise;
        promise.resolve(i);
        promise.onResolve([&sum](int v) { sum += v; });
    }
    report("same thread, resolve then register", timer.nsecsElapsed(), kSameThreadCount);
    if (sum != (long long)kSameThreadCount * (kSameThreadCount - 1) / 2)
        std::printf("  unexpected sum %lld\n", sum);
}

void crossThread()
{
    QVector<Promise<int>> promises(kCrossThreadCount);
    int delivered = 0;
    for (Promise<int> &promise : promises)
        promise.onResolve([&delivered](int) { ++delivered; });

    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QThread> worker(QThread::create([&promises] {
        for (const Promise<int> &promise : qAsConst(promises))
            promise.resolve(1);
    }));
    worker->start();
    while (delivered < kCrossThreadCount)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    const qint64 elapsed = timer.nsecsElapsed();
    worker->wait();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    report("resolved on a worker, delivered on the main loop", elapsed, kCrossThreadCount);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    sameThreadRegisteredFirst();
    sameThreadSettledFirst();
    crossThread();
    return 0;
}
