#include "app/api.h"

#include "httpclient/httpclient.h"
#include "httpclient/request.h"
#include "httpclient/response.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace Orvix {

namespace {

constexpr char kDefaultBaseUrl[] = "https://company-lookup.calvena.example";
// The service knows numbers only in their full national form: 7 and ten digits.
constexpr int kLookupPhoneLength = 11;

QString &baseUrlValue()
{
    static QString url = QString::fromLatin1(kDefaultBaseUrl);
    return url;
}

} // namespace

Api::Api(QObject *parent, const Config::Manager &config, const QSharedPointer<HttpClient::HttpClient> &httpClient)
    : QObject(parent)
    , m_httpClient(httpClient)
    , m_config(config)
{
}

Api::~Api() = default;

void Api::start()
{
    updateSettings();
    Q_EMIT started();
}

void Api::updateSettings()
{
    m_portalHost = m_config.getString(Config::Manager::Bitrix, QStringLiteral("host"));
    m_searchEnabled = m_config.getBool(Config::Manager::App, QStringLiteral("search_in_2gis"));
}

Utils::Promise<CRM::Entity> Api::findCompanyInDoubleGis(const QStringList &phones)
{
    Utils::Promise<CRM::Entity> promise;
    if (!m_searchEnabled) {
        promise.reject();
        return promise;
    }
    QJsonArray lookupPhones;
    for (const QString &phone : phones) {
        if (phone.size() == kLookupPhoneLength)
            lookupPhones.append(phone);
    }
    if (lookupPhones.isEmpty()) {
        promise.reject();
        return promise;
    }

    const QJsonObject params{{QStringLiteral("domain"), m_portalHost},
                             {QStringLiteral("provider"), QStringLiteral("2gis")},
                             {QStringLiteral("phones"), lookupPhones}};
    HttpClient::Request request(baseUrl() + QStringLiteral("/findCompanyByPhones"), HttpClient::Request::Get,
                                params);
    request.setOriginatingObject(this);
    m_httpClient->send(request).onResolve([promise, phones](const QSharedPointer<HttpClient::Response> &response) {
        if (!response || response->statusCode() != 200) {
            promise.reject();
            return;
        }
        const QJsonObject answer = response->json().object();
        if (answer.isEmpty()) {
            promise.reject();
            return;
        }
        CRM::Entity company(CRM::EntityType::DoubleGisCompany, 0, answer.value(QLatin1String("name")).toString(),
                            QString(), false);
        company.setAddress(answer.value(QLatin1String("address")).toString());
        for (const QString &phone : phones)
            company.addPhone(phone);
        promise.resolve(company);
    });
    return promise;
}

QString Api::baseUrl()
{
    return baseUrlValue();
}

void Api::setBaseUrl(const QString &url)
{
    baseUrlValue() = url;
}

} // namespace Orvix
