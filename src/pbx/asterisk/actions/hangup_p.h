#pragma once

#include "pbx/asterisk/actions/generic_p.h"

namespace Orvix::PBX::Asterisk::Actions {

class HangupPrivate : public GenericPrivate
{
public:
    using GenericPrivate::GenericPrivate;
    void finish() override;
};

} // namespace Orvix::PBX::Asterisk::Actions
