#include "actions/transfer.h"

namespace Orvix::Actions {

Transfer::Transfer(QObject *parent)
    : Action(QStringLiteral("/transfer"), true, parent)
{
    acceptOnlyJson();
}

void Transfer::handle(const QJsonObject &params, Reply *reply)
{
    QString userPhone;
    QString transferTo;
    bool blind = true;
    if (!takeText(params, QStringLiteral("number"), reply, &userPhone)
        || !takeText(params, QStringLiteral("to"), reply, &transferTo)
        || !takeOptionalBool(params, QStringLiteral("blind"), reply, &blind))
        return;
    const Utils::Promise<void, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Transfer failed"));
    Q_EMIT request(userPhone, transferTo, blind, promise);
}

} // namespace Orvix::Actions
