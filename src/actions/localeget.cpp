#include "actions/localeget.h"

#include "actions/localename.h"

namespace Orvix::Actions {

LocaleGet::LocaleGet(QObject *parent)
    : Action(QStringLiteral("/locale_get"), true, parent)
{
}

void LocaleGet::handle(const QJsonObject &params, Reply *reply)
{
    QString name;
    if (!takeText(params, QStringLiteral("name"), reply, &name))
        return;
    if (!requireLocaleName(name, reply))
        return;
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 404, QStringLiteral("Locale not found"));
    Q_EMIT request(name, promise);
}

} // namespace Orvix::Actions
