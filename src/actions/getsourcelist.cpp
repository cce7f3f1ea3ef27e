#include "actions/getsourcelist.h"

namespace Orvix::Actions {

GetSourceList::GetSourceList(QObject *parent)
    : Action(QStringLiteral("/get_source_list"), true, parent)
{
}

void GetSourceList::handle(const QJsonObject &, Reply *reply)
{
    const Utils::Promise<QJsonArray, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Source list unavailable"));
    Q_EMIT request(promise);
}

} // namespace Orvix::Actions
