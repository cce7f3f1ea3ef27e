#include "pbx/asterisk/actions/login.h"

#include "pbx/asterisk/actions/login_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

namespace {
Message loginRequest(const QString &user, const QString &secret)
{
    Message request(QStringLiteral("Login"), Message::Action);
    request.insert(QStringLiteral("Username"), user)
        .insert(QStringLiteral("Secret"), secret)
        .insert(QStringLiteral("Events"), QStringLiteral("off"));
    return request;
}
} // namespace

void LoginPrivate::finish()
{
    qDebug().noquote() << "Asterisk replied on login request";
    bool accepted = !responses.isEmpty();
    for (const Message &response : qAsConst(responses)) {
        if (response.toJson().value(QStringLiteral("Message")).toString() != QLatin1String("Authentication accepted"))
            accepted = false;
    }
    if (accepted)
        result.resolve();
    else
        result.reject();
}

Login::Login(const QString &user, const QString &secret)
    : Login(loginRequest(user, secret))
{
}

Login::Login(const Message &request)
    : Generic(QSharedPointer<GenericPrivate>(new LoginPrivate(request)))
{
}

} // namespace Orvix::PBX::Asterisk::Actions
