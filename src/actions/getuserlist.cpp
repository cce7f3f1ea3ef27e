#include "actions/getuserlist.h"

namespace Orvix::Actions {

GetUserList::GetUserList(QObject *parent)
    : Action(QStringLiteral("/get_user_list"), true, parent)
{
}

void GetUserList::handle(const QJsonObject &params, Reply *reply)
{
    QJsonObject filter;
    if (!takeOptionalObject(params, QStringLiteral("filter"), reply, &filter))
        return;
    const Utils::Promise<QJsonArray, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("User list unavailable"));
    Q_EMIT request(filter, promise);
}

} // namespace Orvix::Actions
