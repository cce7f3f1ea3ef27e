#include "crm/bitrix/clientc2c.h"

#include "httpclient/httpclient.h"
#include "httpclient/request.h"
#include "httpclient/response.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPointer>

namespace Orvix::CRM::Bitrix {

namespace {

constexpr int kNoEvent = 204;

ClientC2C::Relay &relaySettings()
{
    static ClientC2C::Relay relay;
    return relay;
}

// The relay passes the CRM's values on as it got them: text, or now and then a number.
QString text(const QJsonValue &value)
{
    if (value.isDouble())
        return QString::number(value.toDouble(), 'f', 0);
    return value.toString();
}

} // namespace

ClientC2C::ClientC2C(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client)
    : QObject(parent)
    , m_httpClient(client)
{
    m_pollTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &ClientC2C::waitCallLoop);
}

void ClientC2C::setPortalAddress(const QString &host)
{
    QString address = host;
    if (address.startsWith(QLatin1String("http://")) || address.startsWith(QLatin1String("https://")))
        address = address.mid(address.indexOf(QLatin1Char(':')) + 3);
    while (address.endsWith(QLatin1Char('/')))
        address.chop(1);
    m_portalAddress = address;
}

QString ClientC2C::defaultServerUrl()
{
    return relaySettings().serverUrl;
}

void ClientC2C::setRelay(const Relay &relay)
{
    relaySettings() = relay;
}

ClientC2C::Relay ClientC2C::relay()
{
    return relaySettings();
}

void ClientC2C::start()
{
    if (m_started) {
        qWarning() << "C2C client is already started";
        return;
    }
    m_started = true;
    qDebug() << "Starting the C2C client";
    // A poll left from before a stop carries the loop on when it completes.
    if (!m_requestInFlight)
        waitCallLoop();
}

void ClientC2C::stop()
{
    qDebug() << "Stopping the C2C client";
    m_started = false;
    // A re-poll already scheduled would otherwise start a second loop beside the one of the next start.
    m_pollTimer.stop();
}

Utils::Promise<QJsonObject, int> ClientC2C::waitCall()
{
    Utils::Promise<QJsonObject, int> result;
    HttpClient::Request request(QStringLiteral("%1/%2").arg(defaultServerUrl(), QStringLiteral("wait_call")),
                                HttpClient::Request::Get,
                                QJsonObject{{QStringLiteral("portal_address"), m_portalAddress}});
    request.setRawHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("keep-alive"));
    request.setTransferTimeout(kRelayPollTimeout);
    request.setOriginatingObject(this);

    m_requestInFlight = true;
    m_httpClient->send(request).onResolve(
        [self = QPointer<ClientC2C>(this), result](const QSharedPointer<HttpClient::Response> &response) {
            if (self)
                self->m_requestInFlight = false;
            const int status = response->statusCode();
            if (status == 200) {
                result.resolve(QJsonDocument::fromJson(response->body()).object());
                return;
            }
            if (status == kNoEvent) {
                result.reject(kNoEvent);
                return;
            }
            // Any other 2xx carries no event we could read: an error like the rest, or the loop would stall.
            const QByteArray body = response->body();
            qDebug().noquote() << QStringLiteral("An error occurred while executing wait_call: [%1] %2")
                                      .arg(status)
                                      .arg(QString::fromLocal8Bit(body.constData()));
            result.reject(status);
        });
    return result;
}

void ClientC2C::waitCallLoop()
{
    if (!m_started) {
        qDebug() << "C2C client was not started";
        return;
    }
    if (m_requestInFlight)
        return;

    const Relay settings = relaySettings();
    waitCall()
        .onResolve([self = QPointer<ClientC2C>(this), settings](const QJsonObject &event) {
            if (!self || !self->m_started)
                return;
            self->dispatch(event);
            // A slot of the event may have stopped us.
            if (self && self->m_started)
                self->schedule(settings.afterEvent, Qt::PreciseTimer);
        })
        .onReject([self = QPointer<ClientC2C>(this), settings](int status) {
            if (!self || !self->m_started)
                return;
            if (status == kNoEvent)
                self->schedule(settings.afterNoEvent, Qt::PreciseTimer);
            else
                self->schedule(settings.afterError, Qt::CoarseTimer);
        });
}

void ClientC2C::schedule(std::chrono::milliseconds delay, Qt::TimerType type)
{
    m_pollTimer.setTimerType(type);
    m_pollTimer.start(delay);
}

void ClientC2C::dispatch(const QJsonObject &event)
{
    const QString name = event.value(QLatin1String("event")).toString().toLower();
    if (name == QLatin1String("onexternalcallstart")) {
        parseExternalCallStartEvent(*this, event);
        Q_EMIT externalCallStartRequest(userId, phoneNumber, lineNumber, eventData);
    } else if (name == QLatin1String("onexternalcallbackstart")) {
        onCallBackEvent(event);
    }
}

void ClientC2C::onCallBackEvent(const QJsonObject &event)
{
    const QJsonObject data = event.value(QLatin1String("data")).toObject();
    QString phone = text(event.value(QLatin1String("data[PHONE_NUMBER]")));
    if (phone.isEmpty() && event.contains(QLatin1String("data")))
        phone = text(data.value(QLatin1String("PHONE_NUMBER")));
    const QString line = text(data.value(QLatin1String("LINE_NUMBER")));
    // The PBX dials national numbers with the trunk prefix 8.
    if (phone.startsWith(QLatin1String("+7")))
        phone.replace(QLatin1String("+7"), QLatin1String("8"));
    Q_EMIT externalCallBackStartRequest(phone, line);
}

} // namespace Orvix::CRM::Bitrix
