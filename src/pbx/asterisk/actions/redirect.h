#pragma once

#include "pbx/asterisk/actions/generic.h"

namespace Orvix::PBX::Asterisk::Actions {

// Sends a channel to another place of the dial plan; succeeds on a "Success" answer.
class Redirect : public Generic
{
public:
    Redirect(const QString &channel, const QString &context, const QString &exten, const QString &priority);
    explicit Redirect(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
