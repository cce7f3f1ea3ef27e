#include "actions/connectionscheck.h"

namespace Orvix::Actions {

ConnectionsCheck::ConnectionsCheck(QObject *parent)
    : Action(QStringLiteral("/check_connections"), true, parent)
{
    acceptOnlyJson();
}

void ConnectionsCheck::handle(const QJsonObject &, Reply *reply)
{
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Check failed"));
    Q_EMIT request(promise);
}

} // namespace Orvix::Actions
