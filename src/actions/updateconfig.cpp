#include "actions/updateconfig.h"

#include "utils/settingsmanager.h"

namespace Orvix::Actions {

UpdateConfig::UpdateConfig(QObject *parent)
    : Action(QStringLiteral("/update_config"), true, parent)
{
    acceptOnlyJson();
}

void UpdateConfig::handle(const QJsonObject &params, Reply *reply)
{
    if (!takeSections(params, reply))
        return;
    const QPointer<Reply> guard(reply);
    const Utils::Promise<QString, QJsonObject> promise;
    promise.onResolve([guard](const QString &note) {
        if (!guard)
            return;
        if (note.isEmpty())
            guard->sendResult(true);
        else
            guard->sendJson(200, QJsonObject{{QStringLiteral("result"), true}, {QStringLiteral("note"), note}});
    });
    promise.onReject([guard](const QJsonObject &errors) {
        using Utils::Settings::Manager;
        if (guard && errors.contains(Manager::kFileChangedKey))
            guard->sendError(409, errors.value(Manager::kFileChangedKey).toString());
        else if (guard)
            guard->sendJson(422, QJsonObject{{QStringLiteral("errors"), errors}});
    });
    Q_EMIT request(params, promise);
    // Saved by now when it was taken.
    lookUpPbxHost();
}

} // namespace Orvix::Actions
