#pragma once

#include "utils/promisebase.h"

#include <QSharedPointer>

#include <functional>
#include <utility>

namespace Orvix::Utils {

// Reject side of a promise: the reason store shared by all copies, and the typed registration of
// reject callbacks. Each callback receives its own copy of the one stored reason.
template <typename E>
class PromiseOnReject
{
public:
    using Callback = std::function<void(E)>;

    explicit PromiseOnReject(QSharedPointer<PromiseBasePrivate> state)
        : m_error(QSharedPointer<QSharedPointer<E>>::create())
        , d(std::move(state))
    {
    }
    PromiseOnReject(const PromiseOnReject &other) = default;
    PromiseOnReject &operator=(const PromiseOnReject &other) = default;
    virtual ~PromiseOnReject() = default;

    void reject(E reason) const
    {
        // The step runs under the state's mutex and only while the promise is pending, so a second
        // reject can never overwrite the first reason.
        PromiseBase(d).rejectWith([holder = m_error, reason = std::move(reason)]() {
            *holder = QSharedPointer<E>::create(reason);
        });
    }

    void onRejectPrivate(Callback callback) const
    {
        if (!callback)
            return;
        PromiseBase(d).addRejectCallback([holder = m_error, callback = std::move(callback)]() {
            if (!holder || !*holder) {
                qWarning("Нужно выполнить Promise.reject, но указатель на значение невалиден");
                return;
            }
            callback(E(**holder));
        });
    }

private:
    QSharedPointer<QSharedPointer<E>> m_error;
    QSharedPointer<PromiseBasePrivate> d;
};

template <>
class PromiseOnReject<void>
{
public:
    using Callback = std::function<void()>;

    explicit PromiseOnReject(QSharedPointer<PromiseBasePrivate> state)
        : d(std::move(state))
    {
    }
    PromiseOnReject(const PromiseOnReject &other) = default;
    PromiseOnReject &operator=(const PromiseOnReject &other) = default;
    virtual ~PromiseOnReject() = default;

    void reject() const { PromiseBase(d).rejectWith({}); }

    void onRejectPrivate(Callback callback) const
    {
        if (callback)
            PromiseBase(d).addRejectCallback(std::move(callback));
    }

private:
    QSharedPointer<PromiseBasePrivate> d;
};

} // namespace Orvix::Utils
