#pragma once

#include "pbx/asterisk/actions/generic_p.h"

namespace Orvix::PBX::Asterisk::Actions {

class TransferPrivate : public GenericPrivate
{
public:
    TransferPrivate(const Message &request, bool blind);
    void finish() override;

    bool blind;
};

} // namespace Orvix::PBX::Asterisk::Actions
