#pragma once

#include "actions/externalcallstarteventlistener.h"

namespace Orvix::Actions {

// /events/rest_call: Receives a click-to-call event sent as a REST event call and passes it on like
// ExternalCallStartEventListener (signal event). Public: the portal calls it.
class RestEventCallListener : public ExternalCallStartEventListener
{
    Q_OBJECT

public:
    explicit RestEventCallListener(QObject *parent = nullptr);
};

} // namespace Orvix::Actions
