#include "pbx/asterisk/actions/sippeers.h"

#include "pbx/asterisk/actions/sippeers_p.h"

namespace Orvix::PBX::Asterisk::Actions {

SIPPeersPrivate::SIPPeersPrivate(const Message &request)
    : PeerListPrivate(request, QStringLiteral("SIP"))
{
}

SIPPeers::SIPPeers()
    : SIPPeers(Message(QStringLiteral("SIPPeers"), Message::Action))
{
}

SIPPeers::SIPPeers(const Message &request)
    : PeerList(QSharedPointer<GenericPrivate>(new SIPPeersPrivate(request)))
{
}

} // namespace Orvix::PBX::Asterisk::Actions
