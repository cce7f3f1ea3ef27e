#include "actions/auth.h"

#include "httpserver/accessfailures.h"
#include "httpserver/webpassword.h"

#include <QPointer>

namespace Orvix::Actions {

Auth::Auth(QObject *parent)
    : Action(QStringLiteral("/auth"), false, parent)
{
    // Its values from a JSON body only: a page of another site can make a browser send a GET or a form
    // here, and each wrong guess would make the administrator's own login wait.
    acceptOnlyJson();
}

void Auth::handle(const QJsonObject &params, Reply *reply)
{
    QString user;
    QString password;
    if (!takeText(params, QStringLiteral("user"), reply, &user)
        || !takeText(params, QStringLiteral("password"), reply, &password))
        return;
    // Counted per client and summed up once a minute: a guessing client must not fill the disk. Its
    // next logins wait (the server asks AccessFailures before it calls us).
    const QString failure = QStringLiteral("Попытка авторизоваться с неправильными реквизитами: [%1] и [******] from %2")
                                .arg(user, reply->clientAddress().toString());
    // Whatever the configuration holds, the password every copy ships with opens nothing.
    if (!HttpServer::WebPassword::isAcceptable(password)) {
        HttpServer::AccessFailures::loginFailed(reply->clientAddress(), failure);
        reply->sendError(401, QStringLiteral("Wrong user or password"));
        return;
    }
    const QPointer<Reply> guard(reply);
    const Utils::Promise<void> promise;
    promise.onResolve([guard]() {
        if (guard)
            guard->sendResult(true);
    });
    promise.onReject([guard, failure]() {
        if (!guard)
            return;
        HttpServer::AccessFailures::loginFailed(guard->clientAddress(), failure);
        guard->sendError(401, QStringLiteral("Wrong user or password"));
    });
    Q_EMIT request(user, password, promise);
}

} // namespace Orvix::Actions
