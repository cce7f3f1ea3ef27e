#include "actions/connectionscheck.h"

namespace Orvix::Actions {

ConnectionsCheck::ConnectionsCheck(QObject *parent)
    : Action(QStringLiteral("/check_connections"), true, parent)
{
    acceptOnlyJson();
}

void ConnectionsCheck::handle(const QJsonObject &params, Reply *reply)
{
    QJsonObject settings;
    for (const QString &section : {QStringLiteral("Database"), QStringLiteral("Asterisk"), QStringLiteral("Bitrix")}) {
        QJsonObject given;
        if (!takeOptionalObject(params, section, reply, &given))
            return;
        if (params.contains(section))
            settings.insert(section, given);
    }
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Check failed"));
    Q_EMIT request(promise, settings);
}

} // namespace Orvix::Actions
