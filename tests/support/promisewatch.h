#pragma once

#include "utils/promise.h"

#include <QSharedPointer>
#include <QThread>

#include <type_traits>
#include <utility>

namespace Orvix::Tests {

namespace PromiseWatchDetail {

template <typename T>
struct Value
{
    T value{};
};
template <>
struct Value<void>
{
};

template <typename E>
struct Error
{
    E error{};
};
template <>
struct Error<void>
{
};

} // namespace PromiseWatchDetail

// What became of one promise, as watch() saw it: `value` (when T is not void) holds what it resolved with, `error`
// (when E is not void) the reason it was rejected with, and `thread` the thread the callback ran on.
template <typename T, typename E = void>
struct Outcome : PromiseWatchDetail::Value<T>, PromiseWatchDetail::Error<E>
{
    bool settled = false;
    bool resolved = false;
    bool rejected = false;
    QThread *thread = nullptr;
};

// For handles that settle like a Promise<T, E> without being one (onResolve/onReject taking the same callbacks).
// The callbacks run on the calling thread, so a test waits with QTRY_* or QTest::qWaitFor, which spin its loop.
template <typename T, typename E, typename Handle>
QSharedPointer<Outcome<T, E>> watch(Handle handle)
{
    auto outcome = QSharedPointer<Outcome<T, E>>::create();
    if constexpr (std::is_void_v<T>) {
        handle.onResolve([outcome]() {
            outcome->settled = outcome->resolved = true;
            outcome->thread = QThread::currentThread();
        });
    } else {
        handle.onResolve([outcome](T value) {
            outcome->settled = outcome->resolved = true;
            outcome->value = std::move(value);
            outcome->thread = QThread::currentThread();
        });
    }
    if constexpr (std::is_void_v<E>) {
        handle.onReject([outcome]() {
            outcome->settled = outcome->rejected = true;
            outcome->thread = QThread::currentThread();
        });
    } else {
        handle.onReject([outcome](E error) {
            outcome->settled = outcome->rejected = true;
            outcome->error = std::move(error);
            outcome->thread = QThread::currentThread();
        });
    }
    return outcome;
}

template <typename T, typename E>
QSharedPointer<Outcome<T, E>> watch(const Utils::Promise<T, E> &promise)
{
    return watch<T, E, Utils::Promise<T, E>>(promise);
}

} // namespace Orvix::Tests
