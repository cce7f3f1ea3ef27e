#include "actions/locateasterisk.h"

namespace Orvix::Actions {

LocateAsterisk::LocateAsterisk(QObject *parent)
    : Action(QStringLiteral("/locate_asterisk"), true, parent)
{
    acceptOnlyJson();
}

void LocateAsterisk::handle(const QJsonObject &, Reply *reply)
{
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Check failed"));
    Q_EMIT request(promise);
}

} // namespace Orvix::Actions
