#pragma once

#include "utils/promisebase.h"

#include <QSharedPointer>

#include <functional>
#include <utility>

namespace Orvix::Utils {

// Resolve side of a promise: the value store shared by all copies, and the typed registration of
// resolve callbacks. Each callback receives its own copy of the one stored value.
template <typename T>
class PromiseOnResolve
{
public:
    using Callback = std::function<void(T)>;

    explicit PromiseOnResolve(QSharedPointer<PromiseBasePrivate> state)
        : m_value(QSharedPointer<QSharedPointer<T>>::create())
        , d(std::move(state))
    {
    }
    PromiseOnResolve(const PromiseOnResolve &other) = default;
    PromiseOnResolve &operator=(const PromiseOnResolve &other) = default;
    virtual ~PromiseOnResolve() = default;

    void resolve(T value) const
    {
        // The step runs under the state's mutex and only while the promise is pending, so a second
        // resolve can never overwrite the first value.
        PromiseBase(d).resolveWith([holder = m_value, value = std::move(value)]() {
            *holder = QSharedPointer<T>::create(value);
        });
    }

    void onResolvePrivate(Callback callback) const
    {
        if (!callback)
            return;
        PromiseBase(d).addResolveCallback([holder = m_value, callback = std::move(callback)]() {
            if (!holder || !*holder) {
                qWarning("Нужно выполнить Promise.onResolve, но указатель на значение невалиден");
                return;
            }
            callback(T(**holder));
        });
    }

private:
    QSharedPointer<QSharedPointer<T>> m_value;
    QSharedPointer<PromiseBasePrivate> d;
};

template <>
class PromiseOnResolve<void>
{
public:
    using Callback = std::function<void()>;

    explicit PromiseOnResolve(QSharedPointer<PromiseBasePrivate> state)
        : d(std::move(state))
    {
    }
    PromiseOnResolve(const PromiseOnResolve &other) = default;
    PromiseOnResolve &operator=(const PromiseOnResolve &other) = default;
    virtual ~PromiseOnResolve() = default;

    void resolve() const { PromiseBase(d).resolveWith({}); }

    void onResolvePrivate(Callback callback) const
    {
        if (callback)
            PromiseBase(d).addResolveCallback(std::move(callback));
    }

private:
    QSharedPointer<PromiseBasePrivate> d;
};

} // namespace Orvix::Utils
