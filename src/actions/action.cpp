#include "actions/action.h"

#include "config/manager.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostInfo>
#include <QJsonValue>
#include <QList>

namespace Orvix::Actions {

namespace {

enum class Presence { Missing, Malformed, Present };

Presence readText(const QJsonObject &params, const QString &key, QString *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull())
        return Presence::Missing;
    if (raw.isString()) {
        *value = raw.toString();
        return Presence::Present;
    }
    // A number posted as JSON ("number": 101) means the same as the text a form would carry.
    const double number = raw.toDouble();
    if (raw.isDouble() && number == static_cast<double>(static_cast<qint64>(number))) {
        *value = QString::number(static_cast<qint64>(number));
        return Presence::Present;
    }
    return Presence::Malformed;
}

// IPv4 clients of a dual-stack listener come as IPv4 mapped into IPv6.
QHostAddress plain(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

// The addresses of the PBX's host name, looked up again when the name changes or they grew old; until
// the first answer, none.
struct PbxAddresses
{
    static constexpr std::chrono::minutes kLifetime{5};
    QString name;
    QList<QHostAddress> addresses;
    QDeadlineTimer expiry;
};

const QList<QHostAddress> &addressesOf(const QString &name)
{
    static PbxAddresses cache;
    if ((cache.name != name || cache.expiry.hasExpired()) && QCoreApplication::instance()) {
        if (cache.name != name)
            cache.addresses.clear();
        cache.name = name;
        cache.expiry.setRemainingTime(PbxAddresses::kLifetime);
        QHostInfo::lookupHost(name, QCoreApplication::instance(), [name](const QHostInfo &info) {
            if (cache.name != name || info.error() != QHostInfo::NoError)
                return;
            cache.addresses.clear();
            for (const QHostAddress &address : info.addresses())
                cache.addresses.append(plain(address));
        });
    }
    return cache.addresses;
}

} // namespace

bool Action::isLocalOrPbx(const HttpServer::Request &request)
{
    const QHostAddress address = plain(request.remoteAddress());
    if (address.isLoopback() && address == plain(request.localAddress()))
        return true;
    const QString host = Config::Manager::getString(Config::Manager::Asterisk, QStringLiteral("host")).trimmed();
    if (host.isEmpty())
        return false;
    const QHostAddress literal(host);
    if (!literal.isNull())
        return plain(literal) == address;
    return addressesOf(host).contains(address);
}

void Action::lookUpPbxHost()
{
    const QString host = Config::Manager::getString(Config::Manager::Asterisk, QStringLiteral("host")).trimmed();
    if (!host.isEmpty() && QHostAddress(host).isNull())
        addressesOf(host);
}

Action::Action(const QString &route, bool requiresAuth, QObject *parent)
    : QObject(parent)
    , HttpServer::IAction(route, requiresAuth)
{
}

void Action::execute(const HttpServer::Request &request, HttpServer::Response response)
{
    if (m_onlyJson && request.method() != QLatin1String("POST"))
        response.setHeader(QByteArrayLiteral("Allow"), QByteArrayLiteral("POST"));
    auto *reply = new Reply(request.method(), std::move(response), this);
    reply->setClientAddress(request.remoteAddress());
    if (m_onlyJson && request.method() != QLatin1String("POST")) {
        reply->sendError(405, QStringLiteral("Method not allowed: send a POST with a JSON body "
                                             "(Content-Type: application/json)"));
        return;
    }
    if (m_onlyJson && !request.isJson()) {
        reply->sendError(415, QStringLiteral("Send a POST with a JSON body (Content-Type: application/json)"));
        return;
    }
    if (request.isJson() && !request.isJsonValid()) {
        reply->sendError(400, QStringLiteral("Malformed JSON body"));
        return;
    }
    reply->startTimeout(m_timeout);
    handle(m_onlyJson ? request.json() : request.parameters(), reply);
}

bool Action::takeText(const QJsonObject &params, const QString &key, Reply *reply, QString *value)
{
    switch (readText(params, key, value)) {
    case Presence::Present:
        return true;
    case Presence::Missing:
        reply->sendError(400, QStringLiteral("Missing parameter: %1").arg(key));
        return false;
    case Presence::Malformed:
        break;
    }
    reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
    return false;
}

bool Action::requireNonBlank(const QString &value, const QString &key, Reply *reply)
{
    if (!value.trimmed().isEmpty())
        return true;
    reply->sendError(400, QStringLiteral("Missing parameter: %1").arg(key));
    return false;
}

bool Action::takeOptionalText(const QJsonObject &params, const QString &key, Reply *reply, QString *value)
{
    if (readText(params, key, value) != Presence::Malformed)
        return true;
    reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
    return false;
}

bool Action::takeObject(const QJsonObject &params, const QString &key, Reply *reply, QJsonObject *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull()) {
        reply->sendError(400, QStringLiteral("Missing parameter: %1").arg(key));
        return false;
    }
    return takeOptionalObject(params, key, reply, value);
}

bool Action::takeOptionalObject(const QJsonObject &params, const QString &key, Reply *reply,
                                QJsonObject *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull())
        return true;
    if (!raw.isObject()) {
        reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
        return false;
    }
    *value = raw.toObject();
    return true;
}

bool Action::takeOptionalBool(const QJsonObject &params, const QString &key, Reply *reply, bool *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull())
        return true;
    if (raw.isBool()) {
        *value = raw.toBool();
        return true;
    }
    // Forms and queries carry texts.
    const QString text = raw.isDouble() ? QString::number(raw.toDouble()) : raw.toString().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1")) {
        *value = true;
        return true;
    }
    if (text == QLatin1String("false") || text == QLatin1String("0")) {
        *value = false;
        return true;
    }
    reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
    return false;
}

bool Action::takeSections(const QJsonObject &params, Reply *reply)
{
    if (params.isEmpty()) {
        reply->sendError(400, QStringLiteral("Missing parameter: configuration"));
        return false;
    }
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) {
        if (!it.value().isObject()) {
            reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(it.key()));
            return false;
        }
    }
    return true;
}

} // namespace Orvix::Actions
