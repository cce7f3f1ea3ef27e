#include "actions/localedelete.h"

#include "actions/localename.h"

namespace Orvix::Actions {

LocaleDelete::LocaleDelete(QObject *parent)
    : Action(QStringLiteral("/locale_delete"), true, parent)
{
    acceptOnlyJson();
}

void LocaleDelete::handle(const QJsonObject &params, Reply *reply)
{
    QString name;
    if (!takeText(params, QStringLiteral("name"), reply, &name))
        return;
    if (!requireLocaleName(name, reply))
        return;
    const Utils::Promise<void> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Locale not deleted"));
    Q_EMIT request(name, promise);
}

} // namespace Orvix::Actions
