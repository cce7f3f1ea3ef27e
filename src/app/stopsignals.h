#pragma once

#include <QObject>

class QSocketNotifier;

namespace Orvix {

// Ends the event loop on SIGTERM, SIGINT and SIGHUP with one log line, so that the log shows the service was
// stopped rather than that it died. The handler only writes to a pipe; the line is written and the
// loop quit on the main thread. One object per process, living as long as the event loop.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

private:
    void onSignal();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace Orvix
