#include "actions/localesave.h"

#include "actions/localename.h"

namespace Orvix::Actions {

LocaleSave::LocaleSave(QObject *parent)
    : Action(QStringLiteral("/locale_save"), true, parent)
{
    acceptOnlyJson();
}

void LocaleSave::handle(const QJsonObject &params, Reply *reply)
{
    QString name;
    QJsonObject dictionary;
    if (!takeOptionalText(params, QStringLiteral("name"), reply, &name)
        || !takeObject(params, QStringLiteral("dictionary"), reply, &dictionary))
        return;
    if (!name.isEmpty() && !requireLocaleName(name, reply))
        return;
    const Utils::Promise<QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Locale not saved"));
    Q_EMIT request(name, dictionary, promise);
}

} // namespace Orvix::Actions
