#pragma once

#include "pbx/asterisk/actions/generic_p.h"

#include <QSet>

namespace Orvix::PBX::Asterisk::Actions {

class CoreShowChannelsPrivate : public GenericPrivate
{
public:
    explicit CoreShowChannelsPrivate(const Message &request);

    bool isComplete(const Message &message) override;
    void finish() override;

    Utils::Promise<QSet<QString>> ids;
};

} // namespace Orvix::PBX::Asterisk::Actions
