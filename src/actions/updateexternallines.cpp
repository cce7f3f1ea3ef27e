#include "actions/updateexternallines.h"

namespace Orvix::Actions {

UpdateExternalLines::UpdateExternalLines(QObject *parent)
    : Action(QStringLiteral("/update_external_lines"), true, parent)
{
    acceptOnlyJson();
}

void UpdateExternalLines::handle(const QJsonObject &params, Reply *reply)
{
    QString number;
    QString name;
    if (!takeText(params, QStringLiteral("NUMBER"), reply, &number)
        || !takeOptionalText(params, QStringLiteral("NAME"), reply, &name)
        || !requireNonBlank(number, QStringLiteral("NUMBER"), reply))
        return;
    const Utils::Promise<void, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("External line not updated"));
    Q_EMIT request(QJsonObject{{QStringLiteral("NUMBER"), number}, {QStringLiteral("NAME"), name}}, promise);
}

} // namespace Orvix::Actions
