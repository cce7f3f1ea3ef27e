#pragma once

#include "pbx/asterisk/actions/peerlist.h"

namespace Orvix::PBX::Asterisk::Actions {

// Asks for the IAX peers; their names are the numbers the PBX serves itself.
class IAXPeers : public PeerList
{
public:
    IAXPeers();
    explicit IAXPeers(const Message &request);
};

} // namespace Orvix::PBX::Asterisk::Actions
