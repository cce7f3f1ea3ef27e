#include "actions/getexternallines.h"

namespace Orvix::Actions {

GetExternalLines::GetExternalLines(QObject *parent)
    : Action(QStringLiteral("/get_external_lines"), true, parent)
{
}

void GetExternalLines::handle(const QJsonObject &, Reply *reply)
{
    const Utils::Promise<QJsonArray, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("External lines unavailable"));
    Q_EMIT request(promise);
}

} // namespace Orvix::Actions
