#pragma once

#include "pbx/asterisk/actions/generic.h"

namespace Orvix::PBX::Asterisk::Actions {

// Logs in with unsolicited events switched off: call events come from the CEL table, not the AMI.
class Login : public Generic
{
public:
    Login(const QString &user, const QString &secret);
    explicit Login(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
