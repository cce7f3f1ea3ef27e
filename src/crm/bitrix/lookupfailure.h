#pragma once

#include <QtGlobal>

namespace Orvix::CRM::Bitrix {

// Why a responsible-user lookup of the public routes was rejected.
enum class LookupFailure : qint32 {
    NotFound = 0, // nothing found, no responsible user, or no phone of that user
    Busy = 1,     // too many lookups wait in the CRM queue already; asked nothing of the CRM
};

} // namespace Orvix::CRM::Bitrix
