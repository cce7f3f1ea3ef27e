#pragma once

#include <QtGlobal>

namespace Orvix::CRM {

// Kinds of CRM records. The numbers are fixed: other components compare them and they travel through
// logs and JSON, so task, user and the lookup company keep 42, 50 and 100.
enum class EntityType : qint32 {
    Unknown = 0,
    Lead = 1,
    Deal = 2,
    Contact = 3,
    Company = 4,
    Task = 42,
    User = 50,
    DoubleGisCompany = 100,
};

} // namespace Orvix::CRM
