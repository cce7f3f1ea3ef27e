#include "actions/resteventcalllistener.h"

namespace Orvix::Actions {

RestEventCallListener::RestEventCallListener(QObject *parent)
    : Action(QStringLiteral("/events/rest_call"), false, parent)
{
}

void RestEventCallListener::handle(const QJsonObject &params, Reply *reply)
{
    // The portal only needs to know the event arrived; what the PBX makes of it is not its business, and
    // a slow originate must not make it retry.
    reply->sendResult(true);
    parseExternalCallStartEvent(*this, params);
    Q_EMIT event(userId, phoneNumber, lineNumber, eventData);
}

} // namespace Orvix::Actions
