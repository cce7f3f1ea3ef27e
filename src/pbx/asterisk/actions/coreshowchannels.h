#pragma once

#include "pbx/asterisk/actions/generic.h"

#include <QSet>
#include <QString>

namespace Orvix::PBX::Asterisk::Actions {

// Asks for the channels the PBX has now: one "CoreShowChannel" event per channel, then
// "CoreShowChannelsComplete" with their count. Delivers the unique and linked ids of those channels;
// a refused request or a list that lost entries fails, since a short list would take live calls for
// lost ones.
class CoreShowChannels : public Generic
{
public:
    CoreShowChannels();
    explicit CoreShowChannels(const Message &request);

    using Generic::onSuccess;
    void onSuccess(std::function<void(QSet<QString>)> callback);
};

} // namespace Orvix::PBX::Asterisk::Actions
