#pragma once

#include "pbx/asterisk/actions/generic.h"

namespace Orvix::PBX::Asterisk::Actions {

// Hangs up one channel; succeeds on a "Success" answer.
class Hangup : public Generic
{
public:
    explicit Hangup(const QString &channel);
    explicit Hangup(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
