#pragma once

#include <QSharedPointer>

#include <functional>

namespace Orvix::Utils {

class PromiseBasePrivate;

// Untyped core of a promise: a handle on one settlement state. Callbacks registered through it run
// once, on the thread that registered them; settling is safe from any thread and only the first
// settlement counts. The typed layer (Promise<T,E>) is its only user.
class PromiseBase
{
public:
    PromiseBase();
    explicit PromiseBase(QSharedPointer<PromiseBasePrivate> d);
    PromiseBase(const PromiseBase &other) = default;
    PromiseBase &operator=(const PromiseBase &other) = default;
    virtual ~PromiseBase();

    void addResolveCallback(std::function<void()> callback) const;
    void addRejectCallback(std::function<void()> callback) const;
    void resolveWith(const std::function<void()> &store) const;
    void rejectWith(const std::function<void()> &store) const;

protected:
    QSharedPointer<PromiseBasePrivate> d;

private:
    void addCallback(std::function<void()> callback, int outcome) const;
    void settle(const std::function<void()> &store, int outcome) const;
};

} // namespace Orvix::Utils
