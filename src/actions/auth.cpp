#include "actions/auth.h"

#include "httpserver/webpassword.h"

namespace Orvix::Actions {

Auth::Auth(QObject *parent)
    : Action(QStringLiteral("/auth"), false, parent)
{
}

void Auth::handle(const QJsonObject &params, Reply *reply)
{
    QString user;
    QString password;
    if (!takeText(params, QStringLiteral("user"), reply, &user)
        || !takeText(params, QStringLiteral("password"), reply, &password))
        return;
    // Whatever the configuration holds, the password every copy ships with opens nothing.
    if (!HttpServer::WebPassword::isAcceptable(password)) {
        reply->sendError(401, QStringLiteral("Wrong user or password"));
        return;
    }
    const Utils::Promise<void> promise;
    answerWhenSettled(reply, promise, 401, QStringLiteral("Wrong user or password"));
    Q_EMIT request(user, password, promise);
}

} // namespace Orvix::Actions
