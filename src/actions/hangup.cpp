#include "actions/hangup.h"

namespace Orvix::Actions {

Hangup::Hangup(QObject *parent)
    : Action(QStringLiteral("/hangup"), true, parent)
{
    acceptOnlyJson();
}

void Hangup::handle(const QJsonObject &params, Reply *reply)
{
    QString number;
    if (!takeText(params, QStringLiteral("number"), reply, &number))
        return;
    const Utils::Promise<void, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Hangup failed"));
    Q_EMIT request(number, promise);
}

} // namespace Orvix::Actions
