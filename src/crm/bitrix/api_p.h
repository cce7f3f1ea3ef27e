#pragma once

#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <functional>
#include <type_traits>

// Small helpers shared by the CRM API's source files; not part of its interface.
namespace Orvix::CRM::Bitrix::ApiDetail {

// An owed recording, or a finish kept for a later start, is given up when it still fails a day after it
// was first sent.
inline constexpr qint64 kOwedForAtMostSecs = 24 * 60 * 60;

inline Utils::MsgBuilder child(const Utils::MsgBuilder &trace, Utils::MsgBuilder::ChildTaskName childTask)
{
    Utils::MsgBuilder copy = trace;
    copy.setChildTask(childTask);
    return copy;
}

inline Utils::Promise<void> resolved()
{
    Utils::Promise<void> promise;
    promise.resolve();
    return promise;
}

// Runs then as soon as source settles, whichever way.
template <typename T, typename E>
void whenSettled(const Utils::Promise<T, E> &source, std::function<void()> then)
{
    if constexpr (std::is_void_v<T>)
        source.onResolve([then]() { then(); });
    else
        source.onResolve([then](T) { then(); });
    if constexpr (std::is_void_v<E>)
        source.onReject([then]() { then(); });
    else
        source.onReject([then](E) { then(); });
}

} // namespace Orvix::CRM::Bitrix::ApiDetail
