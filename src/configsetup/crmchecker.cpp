#include "configsetup/crmchecker.h"

#include "configsetup/checkresult.h"
#include "crm/bitrix/connector.h"
#include "httpclient/request.h"
#include "utils/msgbuilder.h"

#include <QJsonValue>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>

namespace Orvix::ConfigSetup {

namespace {
// Codes of the authorisation errors: no answer from the portal, and a login the portal refused.
constexpr int kAuthUnreachable = 0;
constexpr int kAuthLoginRefused = 200;
// What the login reports when the authorisation page held neither a code, nor the portal's login form,
// nor its error text: whatever answered there is no portal.
constexpr QLatin1String kNoPortalPage("Failed to find authorization code in response.");
} // namespace

Utils::Promise<QJsonObject> CrmChecker::check(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client,
                                              const Settings &settings)
{
    if (settings.host.trimmed().isEmpty() || settings.login.isEmpty() || settings.password.isEmpty()) {
        Utils::Promise<QJsonObject> result;
        result.resolve(checkResult(CrmStatus::IncompleteSettings,
                                   QStringLiteral("The portal address, login and password are all needed")));
        return result;
    }
    auto *checker = new CrmChecker(parent, client, settings.timeout); // deletes itself in finish()
    const Utils::Promise<QJsonObject> result = checker->m_result;
    checker->start(settings);
    return result;
}

CrmChecker::CrmChecker(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client,
                       std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_connector(new CRM::Bitrix::Connector(this, client))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(timeout);
    // A request that hangs must not outlast the check.
    m_connector->setRequestTimeout(timeout);
}

CrmChecker::~CrmChecker()
{
    if (m_finished)
        return;
    // The owner went first: the waiting party still gets its one answer.
    m_finished = true;
    m_connector->disconnect(this);
    if (m_connector->isStarted())
        m_connector->stop(true);
    m_result.resolve(checkResult(kNotChecked, QStringLiteral("The check was cancelled")));
}

void CrmChecker::start(const Settings &settings)
{
    m_host = settings.host;
    connect(m_connector, &CRM::Bitrix::Connector::authorizationFailed, this, [this](const QJsonObject &error) {
        m_authFailed = true;
        m_authError = error;
    });
    connect(m_timer, &QTimer::timeout, this, [this] {
        finish(checkResult(CrmStatus::Timeout,
                           QStringLiteral("The CRM portal at %1 did not answer in time").arg(m_host)));
    });
    m_timer->start();

    m_connector->setTokenBaseDirectory(settings.tokenBaseDirectory);
    m_connector->startForCheck(settings.host, settings.userId, settings.login, settings.password,
                               settings.generatedPostfix, settings.executionLoopIntervalMsec);
    m_connector->run(QStringLiteral("profile"), QJsonObject(), HttpClient::Request::Get, Utils::MsgBuilder())
        .onResolve([self = QPointer<CrmChecker>(this)](const QJsonValue &profile) {
            if (self)
                self->requestAppInfo(profile.toObject());
        })
        .onReject([self = QPointer<CrmChecker>(this)] {
            if (self)
                self->fail();
        });
}

void CrmChecker::requestAppInfo(const QJsonObject &profile)
{
    m_connector->run(QStringLiteral("app.info"), QJsonObject(), HttpClient::Request::Get, Utils::MsgBuilder())
        .onResolve([self = QPointer<CrmChecker>(this), profile](const QJsonValue &appInfo) {
            if (!self)
                return;
            QJsonObject result = checkResult(CrmStatus::Ok, QStringLiteral("Connected to the CRM portal"));
            result.insert(QStringLiteral("profile"), profile);
            result.insert(QStringLiteral("app_info"), appInfo.toObject());
            self->finish(result);
        })
        .onReject([self = QPointer<CrmChecker>(this)] {
            if (self)
                self->fail();
        });
}

void CrmChecker::fail()
{
    if (!m_authFailed) {
        finish(checkResult(CrmStatus::RequestFailed, QStringLiteral("The CRM portal refused a REST request")));
        return;
    }
    const QString description = m_authError.value(QStringLiteral("description")).toString();
    const QJsonValue code = m_authError.value(QStringLiteral("code"));
    QJsonObject result;
    if (code.isDouble() && code.toInt() == kAuthUnreachable) {
        // The description says why (refused, unknown, no answer in time) after the host, named here already
        // as the settings give it.
        static const QRegularExpression where(QStringLiteral("^Cannot connect to the CRM portal at [^:]*: "));
        const QString reason = QString(description).remove(where);
        result = checkResult(CrmStatus::PortalUnreachable,
                             QStringLiteral("Cannot connect to the CRM portal at %1: %2")
                                 .arg(m_host, reason.isEmpty() ? QStringLiteral("no answer") : reason));
    } else if (code.isDouble() && code.toInt() == kAuthLoginRefused && description == kNoPortalPage) {
        result = checkResult(CrmStatus::AuthorizationError,
                             QStringLiteral("%1 does not answer as a CRM portal: its authorisation page shows neither "
                                            "a code nor the portal's login form; check the portal's address")
                                 .arg(m_host));
    } else if (code.isDouble() && code.toInt() == kAuthLoginRefused) {
        result = checkResult(CrmStatus::LoginRefused, QStringLiteral("The CRM portal refused the login or password"));
    } else {
        result = checkResult(CrmStatus::AuthorizationError,
                             QStringLiteral("CRM authorisation failed: %1").arg(description));
    }
    result.insert(QStringLiteral("error"), m_authError);
    finish(result);
}

void CrmChecker::finish(const QJsonObject &result)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer->stop();
    m_connector->disconnect(this);
    // The check's token is of no further use; the running link keeps its own.
    m_connector->stop(true);
    deleteLater();
    m_result.resolve(result);
}

} // namespace Orvix::ConfigSetup
