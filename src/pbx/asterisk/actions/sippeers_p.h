#pragma once

#include "pbx/asterisk/actions/peerlist_p.h"

namespace Orvix::PBX::Asterisk::Actions {

class SIPPeersPrivate : public PeerListPrivate
{
public:
    explicit SIPPeersPrivate(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
