#pragma once

#include <QObject>

class QSocketNotifier;

namespace Orvix {

// Reports SIGTERM, SIGINT and SIGHUP with one log line, so that the log shows the service was stopped rather
// than that it died, and asks for the stop (stopRequested; the event loop ends at once when nobody listens).
// The handler only writes to a pipe; the line is written and the stop asked for on the main thread. One
// object per process, living as long as the event loop.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

Q_SIGNALS:
    void stopRequested();

private:
    void onSignal();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace Orvix
