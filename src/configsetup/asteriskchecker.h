#pragma once

#include "utils/promise.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>

class QTimer;

namespace Orvix::PBX::Asterisk {
class Connector;
}

namespace Orvix::ConfigSetup {

// Tests that the manager interface accepts the given user and secret, with an AMI connection of its
// own beside the running link. The connector sets no time-out of its own, so a server that accepts and
// never answers ends the check after `timeout`. Main thread; one object per check, a child of the
// caller's object, deleted when done.
class AsteriskChecker : public QObject
{
    Q_OBJECT

public:
    static Utils::Promise<QJsonObject> check(QObject *parent, const QString &host, quint16 port, const QString &user,
                                             const QString &secret, std::chrono::milliseconds timeout);

    ~AsteriskChecker() override;

private:
    AsteriskChecker(QObject *parent, std::chrono::milliseconds timeout);
    void start(const QString &host, quint16 port, const QString &user, const QString &secret);
    void finish(const QJsonObject &result);

    PBX::Asterisk::Connector *m_connector;
    QTimer *m_timer;
    QString m_lastError;
    Utils::Promise<QJsonObject> m_result;
    bool m_finished = false;
};

} // namespace Orvix::ConfigSetup
