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
    // It would become the service's dictionary at once, and every text the CRM is sent its bare key.
    if (dictionary.isEmpty()) {
        reply->sendError(422, QStringLiteral("Locale not saved: the dictionary is empty; post a whole one, such as "
                                             "one read with /locale_get"));
        return;
    }
    const Utils::Promise<QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Locale not saved"));
    Q_EMIT request(name, dictionary, promise);
}

} // namespace Orvix::Actions
