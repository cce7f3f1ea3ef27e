#include "actions/localegetlist.h"

namespace Orvix::Actions {

LocaleGetList::LocaleGetList(QObject *parent)
    : Action(QStringLiteral("/locale_get_list"), true, parent)
{
}

void LocaleGetList::handle(const QJsonObject &, Reply *reply)
{
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Locales unavailable"));
    Q_EMIT request(promise);
}

} // namespace Orvix::Actions
