#pragma once

#include "pbx/asterisk/actions/generic.h"

#include <QSet>
#include <QString>

namespace Orvix::PBX::Asterisk::Actions {

// A request answered by a list of peer entries that ends with "PeerlistComplete"; the peer names
// are delivered once the list is complete and its count checked.
class PeerList : public Generic
{
public:
    using Generic::onSuccess;
    void onSuccess(std::function<void(QSet<QString>)> callback);

protected:
    using Generic::Generic;
};

} // namespace Orvix::PBX::Asterisk::Actions
