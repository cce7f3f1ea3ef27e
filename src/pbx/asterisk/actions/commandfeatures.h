#pragma once

#include "pbx/asterisk/actions/generic.h"

#include <QHash>
#include <QString>

namespace Orvix::PBX::Asterisk::Actions {

// Runs "features show" and reads the feature codes (feature name to current code) from its output.
class CommandFeatures : public Generic
{
public:
    CommandFeatures();
    explicit CommandFeatures(const Message &request);

    using Generic::onSuccess;
    void onSuccess(std::function<void(QHash<QString, QString>)> callback);
};

} // namespace Orvix::PBX::Asterisk::Actions
