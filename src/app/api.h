#pragma once

#include "config/manager.h"
#include "crm/entity.h"
#include "utils/promise.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

namespace Orvix {

namespace HttpClient {
class HttpClient;
}

// Client of the company-lookup service: finds the company behind a caller's phone numbers so that a
// new lead can carry its name and address. Owned by the App; main thread only. Refusals carry no
// reason and write no log line: the asking side decides what a missing company means.
class Api : public QObject
{
    Q_OBJECT

public:
    Api(QObject *parent, const Config::Manager &config, const QSharedPointer<HttpClient::HttpClient> &httpClient);
    ~Api() override;

    // Reads the settings, then emits started.
    void start();
    void updateSettings();

    Utils::Promise<CRM::Entity> findCompanyInDoubleGis(const QStringList &phones);

    // The service's address; tests point it at a local stand-in.
    static QString baseUrl();
    static void setBaseUrl(const QString &url);

Q_SIGNALS:
    void started();

private:
    QSharedPointer<HttpClient::HttpClient> m_httpClient;
    Config::Manager m_config;
    QString m_portalHost;
    bool m_searchEnabled = false;
};

} // namespace Orvix
