#include "actions/resteventcalllistener.h"

namespace Orvix::Actions {

RestEventCallListener::RestEventCallListener(QObject *parent)
    : ExternalCallStartEventListener(QStringLiteral("/events/rest_call"), parent)
{
}

} // namespace Orvix::Actions
