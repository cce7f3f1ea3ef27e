#pragma once

#include "crm/c2cdata.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

#include <chrono>

namespace Orvix::HttpClient {
class HttpClient;
}

namespace Orvix::CRM::Bitrix {

// Where our click-to-call relay listens when the CRM cannot reach the service itself.
inline constexpr QLatin1String kRelayServerUrl("http://c2c-relay.calvena.example:8090");
inline constexpr std::chrono::milliseconds kRelayDelayAfterEvent{500};
inline constexpr std::chrono::milliseconds kRelayDelayAfterNoEvent{50};
inline constexpr std::chrono::milliseconds kRelayDelayAfterError{30000};
// The relay holds a poll open until an event comes; a poll silent for longer than this is taken as a
// lost connection (status 0).
inline constexpr std::chrono::milliseconds kRelayPollTimeout{120000};

// Long-poll client of the click-to-call relay: asks the relay for the CRM's click-to-call events of our
// portal, one request at a time, and turns each into a signal. One single-shot timer schedules the
// next poll, so a stop cancels it and a quick stop and start never leaves two loops running. Main
// thread only; owned by the CRM API.
class ClientC2C : public QObject, public C2CData
{
    Q_OBJECT

public:
    struct Relay
    {
        QString serverUrl = kRelayServerUrl;
        std::chrono::milliseconds afterEvent = kRelayDelayAfterEvent;
        std::chrono::milliseconds afterNoEvent = kRelayDelayAfterNoEvent;
        std::chrono::milliseconds afterError = kRelayDelayAfterError;
    };

    ClientC2C(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client);

    void setPortalAddress(const QString &host);
    QString portalAddress() const { return m_portalAddress; }

    // The relay's base URL, without a trailing slash; also the base of the handlers bound in the CRM.
    static QString defaultServerUrl();
    // Process-wide: points every client at another relay and changes the re-poll delays (tests do;
    // a default-constructed Relay restores the built-in values).
    static void setRelay(const Relay &relay);
    static Relay relay();

    void start();
    void stop();
    bool isStarted() const { return m_started; }
    bool isPolling() const { return m_requestInFlight; }
    bool isPollScheduled() const { return m_pollTimer.isActive(); }
    std::chrono::milliseconds scheduledDelay() const { return std::chrono::milliseconds(m_pollTimer.interval()); }

    // One poll: resolves with the event object, rejects with 204 when there was none, else with the
    // HTTP status (0 without an HTTP answer).
    Utils::Promise<QJsonObject, int> waitCall();

public Q_SLOTS:
    void waitCallLoop();

Q_SIGNALS:
    void externalCallStartRequest(int userId, const QString &phone, const QString &lineNumber,
                                  const QJsonObject &event);
    void externalCallBackStartRequest(const QString &phone, const QString &lineNumber);

private:
    void schedule(std::chrono::milliseconds delay, Qt::TimerType type);
    void dispatch(const QJsonObject &event);
    void onCallBackEvent(const QJsonObject &event);

    QString m_portalAddress;
    QSharedPointer<HttpClient::HttpClient> m_httpClient;
    bool m_started = false;
    bool m_requestInFlight = false;
    QTimer m_pollTimer;
};

} // namespace Orvix::CRM::Bitrix
