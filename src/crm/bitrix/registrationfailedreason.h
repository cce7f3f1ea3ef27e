#pragma once

#include <QtGlobal>

namespace Orvix::CRM::Bitrix {

// Why a call registration promise was rejected.
enum class RegistrationFailedReason : qint32 {
    Failed = 0,          // not built, request failed, answer refused, or nothing to act on
    ActivityDeleted = 1, // finished, but the customizer asked for the activity to be deleted
    LocalCall = 2,       // a local call is not registered
    Uncertain = 3,       // a finish was refused after a try that went unanswered: it may have gone through
    Unreachable = 4,     // a finish that got no answer, a server error, or the link stopped: it may go later
};

} // namespace Orvix::CRM::Bitrix
