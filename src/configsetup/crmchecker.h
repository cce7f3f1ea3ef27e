#pragma once

#include "utils/promise.h"

#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <chrono>

class QTimer;

namespace Orvix::HttpClient {
class HttpClient;
}
namespace Orvix::CRM::Bitrix {
class Connector;
}

namespace Orvix::ConfigSetup {

// Tests the CRM account: logs in afresh with the given login and password and asks the portal for the
// user's profile and the application's record. It runs a request engine of its own whose token lives
// under its own generated postfix, so the running link's token file is never touched. Main thread; one
// object per check, a child of the caller's object, deleted when done.
class CrmChecker : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString host;
        int userId = 0;
        QString login;
        QString password;
        QString generatedPostfix;     // the check's own, never the running link's
        QString tokenBaseDirectory;   // empty: beside the executable
        int executionLoopIntervalMsec = 100;
        std::chrono::milliseconds timeout{20000};
    };

    static Utils::Promise<QJsonObject> check(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client,
                                             const Settings &settings);

    ~CrmChecker() override;

private:
    CrmChecker(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client,
               std::chrono::milliseconds timeout);
    void start(const Settings &settings);
    void requestAppInfo(const QJsonObject &profile);
    void fail();
    void finish(const QJsonObject &result);

    CRM::Bitrix::Connector *m_connector;
    QTimer *m_timer;
    QString m_host;
    QJsonObject m_authError;
    bool m_authFailed = false;
    Utils::Promise<QJsonObject> m_result;
    bool m_finished = false;
};

} // namespace Orvix::ConfigSetup
