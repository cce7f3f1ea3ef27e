#pragma once

#include "utils/promise.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>

class QTcpSocket;
class QTimer;

namespace Orvix::ConfigSetup {

// Tells whether the CRM's OAuth host can be reached: one "ping"; where no ping program is installed,
// a TCP connection to the host's HTTPS port instead. Main thread; one object per check, a child of the
// caller's object, deleted when done. The promise resolves with {"status", "message", "host"}.
class NetworkChecker : public QObject
{
    Q_OBJECT

public:
    static Utils::Promise<QJsonObject> check(QObject *parent, const QString &host, quint16 port,
                                             std::chrono::milliseconds timeout);

    ~NetworkChecker() override;

private:
    NetworkChecker(QObject *parent, const QString &host, quint16 port, std::chrono::milliseconds timeout);
    void start();
    void connectFallback();
    void finish(bool reachable, const QString &how);

    QString m_host;
    quint16 m_port;
    std::chrono::milliseconds m_timeout;
    QTcpSocket *m_socket = nullptr;
    QTimer *m_timer;
    Utils::Promise<QJsonObject> m_result;
    bool m_finished = false;
};

} // namespace Orvix::ConfigSetup
