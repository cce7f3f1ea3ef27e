#pragma once

#include "pbx/asterisk/actions/peerlist_p.h"

namespace Orvix::PBX::Asterisk::Actions {

class IAXPeersPrivate : public PeerListPrivate
{
public:
    explicit IAXPeersPrivate(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
