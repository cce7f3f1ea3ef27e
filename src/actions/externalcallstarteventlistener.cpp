#include "actions/externalcallstarteventlistener.h"

namespace Orvix::Actions {

ExternalCallStartEventListener::ExternalCallStartEventListener(QObject *parent)
    : ExternalCallStartEventListener(QStringLiteral("/events/external_call_start"), parent)
{
}

ExternalCallStartEventListener::ExternalCallStartEventListener(const QString &route, QObject *parent)
    : Action(route, false, parent)
{
}

void ExternalCallStartEventListener::handle(const QJsonObject &params, Reply *reply)
{
    // The portal only needs to know the event arrived; what the PBX makes of it is not its business, and
    // a slow originate must not make it retry.
    reply->sendResult(true);
    parseExternalCallStartEvent(*this, params);
    Q_EMIT event(userId, phoneNumber, lineNumber, eventData);
}

} // namespace Orvix::Actions
