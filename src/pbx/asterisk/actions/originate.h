#pragma once

#include "pbx/asterisk/actions/generic.h"

namespace Orvix::PBX::Asterisk::Actions {

// Starts a call; succeeds on a "Success" answer. Codecs and variable are sent only when not empty.
class Originate : public Generic
{
public:
    Originate(const QString &channel, const QString &context, const QString &exten, const QString &callerId,
              const QString &priority, const QString &codecs, const QString &variable);
    explicit Originate(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
