#include "utils/promisebase.h"

#include "utils/promisebase_p.h"
#include "utils/promiseexecute_p.h"

#include <QMutexLocker>

#include <utility>

namespace Orvix::Utils {

PromiseBasePrivate::PromiseBasePrivate() = default;

PromiseBasePrivate::~PromiseBasePrivate() = default;

PromiseBase::PromiseBase()
    : d(new PromiseBasePrivate)
{
}

PromiseBase::PromiseBase(QSharedPointer<PromiseBasePrivate> d)
    : d(std::move(d))
{
}

PromiseBase::~PromiseBase() = default;

void PromiseBase::addResolveCallback(std::function<void()> callback) const
{
    addCallback(std::move(callback), PromiseBasePrivate::Resolved);
}

void PromiseBase::addRejectCallback(std::function<void()> callback) const
{
    addCallback(std::move(callback), PromiseBasePrivate::Rejected);
}

void PromiseBase::resolveWith(const std::function<void()> &store) const
{
    settle(store, PromiseBasePrivate::Resolved);
}

void PromiseBase::rejectWith(const std::function<void()> &store) const
{
    settle(store, PromiseBasePrivate::Rejected);
}

void PromiseBase::addCallback(std::function<void()> callback, int outcome) const
{
    PromiseBasePrivate *state = d.data();
    QMutexLocker locker(&state->mutex);
    if (state->state == PromiseBasePrivate::Pending) {
        // The holder belongs to this thread, so AutoConnection runs the callback here: directly when
        // the promise is settled on this thread, from this thread's event loop otherwise. Connecting
        // under the mutex means a concurrent settlement either sees the holder or is seen by us.
        auto *holder = new PromiseExecute(std::move(callback));
        const bool onResolve = outcome == PromiseBasePrivate::Resolved;
        QObject::connect(state, onResolve ? &PromiseBasePrivate::execute : &PromiseBasePrivate::reject,
                         holder, &PromiseExecute::execute);
        QObject::connect(state, onResolve ? &PromiseBasePrivate::reject : &PromiseBasePrivate::execute,
                         holder, &QObject::deleteLater);
        // A promise dropped while still pending would otherwise leave the holder (and everything its
        // callback captured) behind for ever; once the state is gone the callback can never run.
        QObject::connect(state, &QObject::destroyed, holder, &QObject::deleteLater);
        return;
    }
    const bool runNow = state->state == outcome;
    locker.unlock();
    if (runNow)
        callback();
}

void PromiseBase::settle(const std::function<void()> &store, int outcome) const
{
    PromiseBasePrivate *state = d.data();
    {
        QMutexLocker locker(&state->mutex);
        if (state->state != PromiseBasePrivate::Pending)
            return;
        if (store)
            store();
        state->state = outcome;
    }
    // Emitted outside the lock so that callbacks run directly may register or settle again.
    if (outcome == PromiseBasePrivate::Resolved)
        Q_EMIT state->execute();
    else
        Q_EMIT state->reject();
}

} // namespace Orvix::Utils
