#pragma once

#include <QObject>

#include <functional>

namespace Orvix::Utils {

// Holds one pending promise callback. It lives in the thread that registered the callback, so the
// callback runs there; it deletes itself once it has run or once the callback can no longer run.
class PromiseExecute : public QObject
{
    Q_OBJECT

public:
    explicit PromiseExecute(std::function<void()> callback);
    ~PromiseExecute() override;

public Q_SLOTS:
    void execute();

private:
    std::function<void()> m_callback;
};

} // namespace Orvix::Utils
