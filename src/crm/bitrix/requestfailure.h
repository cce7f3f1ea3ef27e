#pragma once

#include <QString>

namespace Orvix::CRM::Bitrix {

// Why a request to the portal failed, for the callers that decide what to do next: a refusal would be
// refused again, an unreachable portal may take it later. A try that went unanswered leaves the
// outcome open: the portal may have done the work and only its answer got lost.
struct RequestFailure
{
    enum Kind {
        Refused,     // the portal answered with an error, or there was nothing to send
        Unreachable, // no answer, a server error, or the link is stopped
    };

    Kind kind = Refused;
    bool mayHaveBeenDone = false;
    QString reason; // in words, for the log and for the clients of the public routes
};

} // namespace Orvix::CRM::Bitrix
