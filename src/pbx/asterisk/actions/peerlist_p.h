#pragma once

#include "pbx/asterisk/actions/generic_p.h"

#include <QSet>

namespace Orvix::PBX::Asterisk::Actions {

class PeerListPrivate : public GenericPrivate
{
public:
    // kind: "SIP" or "IAX", for the log line.
    PeerListPrivate(const Message &request, const QString &kind);

    bool isComplete(const Message &message) override;
    void finish() override;
    bool takesUnaddressedEvent(const Message &message) const override;

    Utils::Promise<QSet<QString>> peers;
    QString kind;
};

} // namespace Orvix::PBX::Asterisk::Actions
