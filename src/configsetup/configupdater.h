#pragma once

#include "configsetup/asteriskconfigreader.h"
#include "utils/promise.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <chrono>

namespace Orvix::Config {
class Manager;
}
namespace Orvix::HttpClient {
class HttpClient;
}

namespace Orvix::ConfigSetup {

// Keeps the service's settings in step with the PBX and tests its surroundings. At start it fills the
// Database and Asterisk settings from Asterisk's own files wherever the operator has left them unset,
// and adds the service's manager user to a local Asterisk that lacks it. On request it checks the
// database, the manager interface, the CRM account and the reach of the CRM's OAuth host; each check
// settles its promise once with {"status", "message", ...} (0 fine, -1 not checked, a positive code
// names the failure) and the last result of each is kept for checkStatus(). It validates and saves
// configuration updates; what to restart after one is the caller's decision, so it emits nothing then.
// Main thread; owned by the App. Checks that block run on worker threads of their own.
class ConfigUpdater : public QObject
{
    Q_OBJECT

public:
    ConfigUpdater(QSharedPointer<HttpClient::HttpClient> client, Config::Manager &config, QObject *parent = nullptr);
    ~ConfigUpdater() override;

    // Where Asterisk's files are looked for ("/"), where the CRM check keeps its token (beside the
    // executable when empty), the host whose reach the network check tests (the OAuth host when empty)
    // and the time-outs of the checks and programs.
    void setRootDirectory(const QString &root);
    void setTokenBaseDirectory(const QString &directory);
    void setNetworkHost(const QString &host, quint16 port);
    void setCheckTimeout(std::chrono::milliseconds timeout);
    void setCrmCheckTimeout(std::chrono::milliseconds timeout);

    // Each check takes the settings the request gives in place of the saved ones, but the saved secret only
    // to the saved address; checkConnections takes them by section ({"Database": {...}, ...}).
    void checkConnections(Utils::Promise<QJsonObject> promise, const QJsonObject &settings = QJsonObject());
    void dbCheck(Utils::Promise<QJsonObject> promise, const QJsonObject &settings);
    void locateAsterisk(Utils::Promise<QJsonObject> promise);
    void asteriskCheck(Utils::Promise<QJsonObject> promise, const QJsonObject &settings);
    void bxCheck(Utils::Promise<QJsonObject> promise, const QJsonObject &settings);
    void networkCheck(Utils::Promise<QJsonObject> promise);

    // {"database", "asterisk", "bitrix", "network", "general"}: the last result of each, while the saved
    // settings are the ones it was taken with.
    QJsonObject checkStatus() const;
    QJsonObject config() const;
    // Applies and saves {section: {key: value}}; rejects with {key: error text} and changes nothing
    // when a value is refused.
    Utils::Promise<void, QJsonObject> updateConfig(const QJsonObject &json);

    bool isConfigured() const { return m_configured; }
    void setAsteriskConfig(const AsteriskConfigReader::Sections &sections);
    void setManagerConfig(const AsteriskConfigReader::Sections &managerSections);
    // Fills the unset Database and Asterisk settings from the files, adds the manager user where it is
    // missing, and saves when anything changed. Returns whether it saved.
    bool applyAsteriskConfig();
    // The whole start-up step: reads the files below the root directory in their order, then applies them.
    bool readAsteriskConfig();

Q_SIGNALS:
    void configChanged();

private:
    // Keeps a check's result, with the settings it ran with.
    void storeStatus(const QString &key, const QJsonObject &result, const QJsonObject &checkedWith = QJsonObject());
    bool createManagerUser(QJsonObject &asteriskChanges);
    QString oauthHost(quint16 *port) const;

    QSharedPointer<HttpClient::HttpClient> m_client;
    QString m_root = QStringLiteral("/");
    QString m_tokenBaseDirectory;
    QString m_networkHost;
    quint16 m_networkPort = 443;
    std::chrono::milliseconds m_checkTimeout{5000};
    std::chrono::milliseconds m_crmCheckTimeout{20000};
    bool m_configured = false;
    AsteriskConfigReader::Sections m_sections;
    AsteriskConfigReader::Sections m_managerSections;
    QJsonObject m_status;
    QHash<QString, QJsonObject> m_checkedWith;
};

} // namespace Orvix::ConfigSetup
