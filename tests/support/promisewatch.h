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
    const auto settle = [outcome](bool resolved) {
        outcome->settled = true;
        (resolved ? outcome->resolved : outcome->rejected) = true;
        outcome->thread = QThread::currentThread();
    };
    if constexpr (std::is_void_v<T>) {
        handle.onResolve([settle]() { settle(true); });
    } else {
        handle.onResolve([outcome, settle](T value) {
            outcome->value = std::move(value);
            settle(true);
        });
    }
    if constexpr (std::is_void_v<E>) {
        handle.onReject([settle]() { settle(false); });
    } else {
        handle.onReject([outcome, settle](E error) {
            outcome->error = std::move(error);
            settle(false);
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
