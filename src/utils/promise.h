#pragma once

#include "utils/promisebase.h"
#include "utils/promiseonreject.h"
#include "utils/promiseonresolve.h"

#include <QList>
#include <QSharedPointer>

#include <type_traits>
#include <utility>

namespace Orvix::Utils {

// One-shot asynchronous result: resolved with a T or rejected with an E (either may be void).
// Copies are handles on one state: the party doing the work keeps one and settles it, the party
// waiting registers callbacks on its own. The first settlement wins; later ones are ignored.
// resolve/reject may be called from any thread; each callback runs once, on the thread that
// registered it (at once if the promise is already settled that way), so a thread that waits on
// promises settled elsewhere must run an event loop. Moving a promise copies it.
template <typename T, typename E = void>
class Promise : public PromiseBase, public PromiseOnResolve<T>, public PromiseOnReject<E>
{
public:
    Promise()
        : PromiseBase()
        , PromiseOnResolve<T>(PromiseBase::d)
        , PromiseOnReject<E>(PromiseBase::d)
    {
    }
    Promise(const Promise &other) = default;
    Promise &operator=(const Promise &other) = default;
    ~Promise() override = default;

    Promise &onResolve(typename PromiseOnResolve<T>::Callback callback)
    {
        this->onResolvePrivate(std::move(callback));
        return *this;
    }
    const Promise &onResolve(typename PromiseOnResolve<T>::Callback callback) const
    {
        this->onResolvePrivate(std::move(callback));
        return *this;
    }

    Promise &onReject(typename PromiseOnReject<E>::Callback callback)
    {
        this->onRejectPrivate(std::move(callback));
        return *this;
    }
    const Promise &onReject(typename PromiseOnReject<E>::Callback callback) const
    {
        this->onRejectPrivate(std::move(callback));
        return *this;
    }

    // Settles target the way this promise settles, on the thread that calls proxyTo (at once when this
    // promise is already settled). Only for promises without a reject reason.
    template <typename R = E, std::enable_if_t<std::is_void_v<R>, int> = 0>
    const Promise &proxyTo(Promise<T> target) const
    {
        if constexpr (std::is_void_v<T>)
            this->onResolvePrivate([target]() { target.resolve(); });
        else
            this->onResolvePrivate([target](T value) { target.resolve(std::move(value)); });
        this->onRejectPrivate([target]() { target.reject(); });
        return *this;
    }

    // The same for promises with a reject reason: target is rejected with this promise's reason.
    template <typename R = E, std::enable_if_t<!std::is_void_v<R>, int> = 0>
    const Promise &proxyTo(Promise<T, E> target) const
    {
        if constexpr (std::is_void_v<T>)
            this->onResolvePrivate([target]() { target.resolve(); });
        else
            this->onResolvePrivate([target](T value) { target.resolve(std::move(value)); });
        this->onRejectPrivate([target](E reason) { target.reject(std::move(reason)); });
        return *this;
    }

    // Resolves once every listed promise has settled, a rejection counting like a resolution; never
    // rejects. An empty list, or one whose promises are all settled already, resolves before returning.
    // The count is not locked: every check runs on the calling thread, which must run an event loop if
    // the listed promises are settled elsewhere.
    template <typename U, typename V = T, typename R = E,
              std::enable_if_t<std::is_void_v<V> && std::is_void_v<R>, int> = 0>
    static Promise<void> all(QList<Promise<U>> promises)
    {
        Promise<void> result;
        if (promises.isEmpty()) {
            result.resolve();
            return result;
        }
        const auto remaining = QSharedPointer<int>::create(promises.size());
        const auto check = [remaining, result]() {
            if (*remaining <= 1)
                result.resolve();
            else
                --*remaining;
        };
        while (!promises.isEmpty()) {
            const Promise<U> promise = promises.takeFirst();
            if constexpr (std::is_void_v<U>)
                promise.onResolvePrivate(check);
            else
                promise.onResolvePrivate([check](U) { check(); });
            promise.onRejectPrivate(check);
        }
        return result;
    }
};

} // namespace Orvix::Utils
