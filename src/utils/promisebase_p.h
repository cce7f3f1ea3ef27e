#pragma once

#include <QMutex>
#include <QObject>

namespace Orvix::Utils {

// Settlement state shared by every copy of one promise. It is only ever a sender: holders of
// callbacks listen to its signals in their own threads, so it may be settled and deleted on any thread.
class PromiseBasePrivate : public QObject
{
    Q_OBJECT

public:
    enum State { Pending = 0, Resolved = 1, Rejected = 2 };

    PromiseBasePrivate();
    ~PromiseBasePrivate() override;

    int state = Pending;
    QMutex mutex;

Q_SIGNALS:
    void execute();
    void reject();
};

} // namespace Orvix::Utils
