#pragma once

#include "config/manager.h"
#include "crm/bitrix/api.h"
#include "crm/bitrix/clientc2c.h"
#include "crm/bitrix/constants.h"
#include "crm/bitrix/registrationstore.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "utils/settingsmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// crm_registrations.json as one object, the records of the changes after its whole applied: written whole aside.
inline QJsonObject savedRegistrations(const QString &path)
{
    using Orvix::CRM::Bitrix::RegistrationStore;
    RegistrationStore saved;
    saved.setFilePath(path);
    RegistrationStore::Uploads uploads;
    RegistrationStore::Facts facts;
    const RegistrationStore::Entries entries = saved.load(&uploads, nullptr, &facts);
    QTemporaryDir dir;
    RegistrationStore whole;
    whole.setFilePath(dir.filePath(QStringLiteral("whole.json")));
    QFile file(whole.filePath());
    return whole.save(entries, uploads, facts) && file.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(file.readAll()).object()
        : QJsonObject();
}

// The CRM API against the fake portal: configuration in a temporary file, a token the portal already
// knows (no login on the way), the saved registrations and the dictionaries in the temporary directory.
class ApiHarness
{
public:
    static constexpr int kLoopIntervalMsec = 5;

    ApiHarness()
    {
        qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, portal.tokenUrl().toString().toUtf8());
        portal.addAccessToken(QStringLiteral("seeded-access"));
    }
    ~ApiHarness()
    {
        api.reset();
        Orvix::CRM::Bitrix::ClientC2C::setRelay(Orvix::CRM::Bitrix::ClientC2C::Relay());
    }

    // The executable's own: the event and recording keys go beside it, in a directory no other test
    // executable of this folder writes while it runs.
    static QString generatedPostfix() { return QLatin1Char('_') + QCoreApplication::applicationName(); }
    QString generatedDirectory() const { return dir.path() + QStringLiteral("/generated") + generatedPostfix(); }

    // Configures with these section values over the defaults and builds the API; start is the test's.
    bool setUp(const QJsonObject &app = {}, const QJsonObject &bitrix = {}, const QJsonObject &webServer = {})
    {
        if (!dir.isValid() || !portal.isListening())
            return false;
        const QString config = dir.path() + QStringLiteral("/config.json");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write("{}");
        file.close();
        Orvix::Config::Manager::resetForTesting();
        Orvix::Utils::Settings::Manager::configName = config;
        Orvix::Config::Manager::init();

        QJsonObject appSection{{"generated_postfix", generatedPostfix()}};
        for (auto it = app.begin(); it != app.end(); ++it)
            appSection.insert(it.key(), it.value());
        QJsonObject bitrixSection{{"host", portal.baseUrl()},
                                  {"user_login", "admin"},
                                  {"user_password", "secret"},
                                  {"user_id", 1},
                                  {"execution_loop_interval_msec", kLoopIntervalMsec}};
        for (auto it = bitrix.begin(); it != bitrix.end(); ++it)
            bitrixSection.insert(it.key(), it.value());
        QJsonObject settings{{"App", appSection}, {"Bitrix", bitrixSection}};
        if (!webServer.isEmpty())
            settings.insert("WebServer", webServer);
        const auto errors = Orvix::Config::Manager::update(settings);
        if (!errors.isEmpty()) {
            qWarning() << "Configuration refused:" << errors;
            return false;
        }

        if (!QDir().mkpath(generatedDirectory()))
            return false;
        QFile token(generatedDirectory() + QStringLiteral("/token.json"));
        if (!token.open(QIODevice::WriteOnly))
            return false;
        token.write(QJsonDocument(QJsonObject{{"access_token", "seeded-access"},
                                               {"refresh_token", "seeded-refresh"},
                                               {"expires_in", 3600}})
                        .toJson());
        token.close();

        http = QSharedPointer<Orvix::HttpClient::HttpClient>::create();
        api = std::make_unique<Orvix::CRM::Bitrix::API>(nullptr, Orvix::Config::Manager(), http);
        api->connector().setTokenBaseDirectory(dir.path());
        // A refused or lost request goes again after 5 ms, 10 ms, ... instead of 1 s, 2 s, ...
        api->connector().setRateLimitBackoff(std::chrono::milliseconds(5));
        api->connector().setLocalesDirectory(dir.path() + QStringLiteral("/locales"));
        api->setGeneratedDirectory(generatedDirectory());
        return true;
    }

    // "method" or "method key=value ..." of every REST request and batch command, in the order sent.
    QStringList restLog() const { return m_log; }
    void record(const QString &entry) { m_log.append(entry); }

    QTemporaryDir dir;
    Orvix::Tests::FakeCrmServer portal;
    QSharedPointer<Orvix::HttpClient::HttpClient> http;
    std::unique_ptr<Orvix::CRM::Bitrix::API> api;

private:
    QStringList m_log;
};

// Answers every hook of the API as the App does when the customizer is off: with the input unchanged.
// The company lookup finds nothing; the recording path is the given file, or fails when it is empty, or
// never comes when it is "-" (a lookup still running).
inline void answerHooksUnchanged(Orvix::CRM::Bitrix::API *api, QObject *context, const QString *recordingFile)
{
    using Orvix::CRM::Bitrix::API;
    using Orvix::Utils::Promise;
    QObject::connect(api, &API::phoneCustomizationRequest, context,
                     [](const QString &phone, Promise<QString, QString> promise) { promise.resolve(phone); });
    const auto unchanged = [](const QJsonObject &value, Promise<QJsonObject, QString> promise) {
        promise.resolve(value);
    };
    QObject::connect(api, &API::searchParamsCustomizationRequest, context, unchanged);
    QObject::connect(api, &API::finalParamsCustomizationRequest, context, unchanged);
    QObject::connect(api, &API::createEntityCustomizationRequest, context, unchanged);
    QObject::connect(api, &API::taskAddCustomizationRequest, context, unchanged);
    QObject::connect(api, &API::leadFieldsCustomizationRequest, context, unchanged);
    QObject::connect(api, &API::activityFieldsCustomizationRequest, context, unchanged);
    QObject::connect(api, &API::findCompanyInDoubleGisRequest, context,
                     [](const QStringList &, Promise<Orvix::CRM::Entity> promise) { promise.reject(); });
    QObject::connect(api, &API::conversationRecordingPathRequest, context,
                     [recordingFile](const QString &, const QString &, const QString &,
                                     Promise<QString, Orvix::Entities::RecordingFailure> promise) {
                         if (recordingFile->isEmpty())
                             promise.reject(Orvix::Entities::RecordingFailure::missing(QStringLiteral("no CDR row")));
                         else if (*recordingFile != QLatin1String("-"))
                             promise.resolve(*recordingFile);
                     });
}
