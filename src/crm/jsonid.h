#pragma once

class QJsonValue;

namespace Orvix::CRM {

// An id as the CRM writes it: some answers carry numbers, others decimal strings, and both mean the same
// id. Anything else, fractions and values out of range included, is 0.
int idFromJson(const QJsonValue &value);

} // namespace Orvix::CRM
