#include "actions/originate.h"

namespace Orvix::Actions {

Originate::Originate(QObject *parent)
    : Action(QStringLiteral("/originate"), true, parent)
{
    acceptOnlyJson();
}

void Originate::handle(const QJsonObject &params, Reply *reply)
{
    QString from;
    if (!takeText(params, QStringLiteral("from"), reply, &from))
        return;
    QString to;
    if (!takeText(params, QStringLiteral("to"), reply, &to))
        return;
    const Utils::Promise<void, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Originate failed"));
    Q_EMIT request(from, to, promise);
}

} // namespace Orvix::Actions
