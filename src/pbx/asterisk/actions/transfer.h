#pragma once

#include "pbx/asterisk/actions/generic.h"

namespace Orvix::PBX::Asterisk::Actions {

// Transfers a channel: "BlindTransfer" when blind, "Atxfer" (attended) otherwise.
class Transfer : public Generic
{
public:
    Transfer(const QString &channel, const QString &context, const QString &exten, bool blind);
    // The kind follows the request's head: "BlindTransfer" is blind, anything else attended.
    explicit Transfer(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
