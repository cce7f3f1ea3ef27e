#include "pbx/asterisk/actions/iaxpeers.h"

#include "pbx/asterisk/actions/iaxpeers_p.h"

namespace Orvix::PBX::Asterisk::Actions {

IAXPeersPrivate::IAXPeersPrivate(const Message &request)
    : PeerListPrivate(request, QStringLiteral("IAX"))
{
}

IAXPeers::IAXPeers()
    : IAXPeers(Message(QStringLiteral("IAXPeers"), Message::Action))
{
}

IAXPeers::IAXPeers(const Message &request)
    : PeerList(QSharedPointer<GenericPrivate>(new IAXPeersPrivate(request)))
{
}

} // namespace Orvix::PBX::Asterisk::Actions
