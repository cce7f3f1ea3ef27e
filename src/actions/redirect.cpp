#include "actions/redirect.h"

namespace Orvix::Actions {

Redirect::Redirect(QObject *parent)
    : Action(QStringLiteral("/forward"), true, parent)
{
    acceptOnlyJson();
}

void Redirect::handle(const QJsonObject &params, Reply *reply)
{
    QString channelId;
    if (!takeText(params, QStringLiteral("channel_id"), reply, &channelId))
        return;
    QString to;
    if (!takeText(params, QStringLiteral("to"), reply, &to))
        return;
    const Utils::Promise<void, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Redirect failed"));
    Q_EMIT request(channelId, to, promise);
}

} // namespace Orvix::Actions
