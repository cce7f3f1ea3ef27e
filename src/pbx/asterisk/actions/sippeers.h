#pragma once

#include "pbx/asterisk/actions/peerlist.h"

namespace Orvix::PBX::Asterisk::Actions {

// Asks for the SIP peers; their names are the numbers the PBX serves itself.
class SIPPeers : public PeerList
{
public:
    SIPPeers();
    explicit SIPPeers(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
