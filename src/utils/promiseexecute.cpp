#include "utils/promiseexecute_p.h"

#include <utility>

namespace Orvix::Utils {

PromiseExecute::PromiseExecute(std::function<void()> callback)
    : m_callback(std::move(callback))
{
}

PromiseExecute::~PromiseExecute() = default;

void PromiseExecute::execute()
{
    // Each outcome is emitted once, but stay one-shot even if a caller invokes the slot by hand.
    if (!m_callback)
        return;
    const std::function<void()> callback = std::move(m_callback);
    m_callback = nullptr;
    deleteLater();
    callback();
}

} // namespace Orvix::Utils
