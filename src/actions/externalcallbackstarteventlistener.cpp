#include "actions/externalcallbackstarteventlistener.h"

namespace Orvix::Actions {

ExternalCallBackStartEventListener::ExternalCallBackStartEventListener(QObject *parent)
    : Action(QStringLiteral("/events/external_call_back_start"), false, parent)
{
}

void ExternalCallBackStartEventListener::handle(const QJsonObject &params, Reply *reply)
{
    reply->sendResult(true);
    parseExternalCallStartEvent(*this, params);
    Q_EMIT event(phoneNumber, lineNumber);
}

} // namespace Orvix::Actions
