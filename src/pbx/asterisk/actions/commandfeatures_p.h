#pragma once

#include "pbx/asterisk/actions/generic_p.h"

#include <QHash>

namespace Orvix::PBX::Asterisk::Actions {

class CommandFeaturesPrivate : public GenericPrivate
{
public:
    using GenericPrivate::GenericPrivate;
    void finish() override;

    Utils::Promise<QHash<QString, QString>> features;
};

} // namespace Orvix::PBX::Asterisk::Actions
