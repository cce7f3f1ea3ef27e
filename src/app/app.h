#pragma once

#include "app/customizer.h"
#include "config/manager.h"
#include "pbx/asterisk/api.h"
#include "utils/promise.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>

namespace Orvix {

namespace Entities {
class Call;
class Conversation;
} // namespace Entities

// The one orchestrating object of the service: owns the PBX link, starts it, logs every call event
// it reports and restarts it after a lost connection. Lives on the main thread, on main's stack.
class App : public QObject
{
    Q_OBJECT

public:
    App(QObject *parent, const QString &overrideEventsSql, Config::Manager &config);
    ~App() override;

    void start();
    void run();
    void stop();
    void clean();

    bool isStarted() const { return m_started; }
    PBX::Asterisk::API &pbx() { return m_pbx; }
    // Settled when the PBX link reports it is up, or rejected when a link is lost first.
    Utils::Promise<bool, QJsonObject> pbxStarted() const { return m_pbxStarted; }
    void setRestartDelay(std::chrono::milliseconds delay) { m_restartDelay = delay; }

    // The trace message of a call start: direction, id, the customer's or callee's number, trunk.
    static QString callStartMessage(const Entities::Call &call);

private Q_SLOTS:
    void onCRMStart();
    void onPBXStart();
    void onCallStart(const Orvix::Entities::Call &call);
    void onConversationRequest(const Orvix::Entities::Conversation &conversation);
    void onConversationAccept(const Orvix::Entities::Conversation &conversation);
    void onConversationEnd(const Orvix::Entities::Conversation &conversation);
    void onCallEnd(const Orvix::Entities::Call &call);
    void onOriginateCustomizationRequest(const QHash<QString, QString> &params,
                                         Orvix::Utils::Promise<QHash<QString, QString>, QString> promise);
    void onUnbindEnded();
    void onDirectoryChanged(const QString &path);
    void onPBXStopped(const QString &reason);

private:
    void scheduleRestart(const QString &reason);
    QString generatedPath(const QString &fileName) const;

    QFileSystemWatcher m_logDirectoryWatcher;
    Config::Manager &m_config;
    PBX::Asterisk::API m_pbx;
    Utils::Promise<bool, QJsonObject> m_pbxStarted;
    QString m_overrideEventsSql;
    std::chrono::milliseconds m_restartDelay{60000};
    bool m_started = false;
    // Last: destroyed first, waiting for the scripts still running while the links are alive.
    Customizer m_customizer;
};

} // namespace Orvix
