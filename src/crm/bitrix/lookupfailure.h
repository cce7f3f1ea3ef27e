#pragma once

#include <QString>
#include <QtGlobal>

namespace Orvix::CRM::Bitrix {

// Why a responsible-user lookup of the public routes was rejected. A failure is never an absence: a
// portal that could not be asked gives Unavailable with the reason in words.
struct LookupFailure
{
    enum Kind : qint32 {
        NotFound = 0,    // nothing found, no responsible user, or no phone of that user
        Busy = 1,        // too many lookups wait in the CRM queue already; asked nothing of the CRM
        Unavailable = 2, // the CRM link is down or the portal did not answer in time
    };

    // Implicit: a bare kind is a failure without words.
    LookupFailure(Kind kind = NotFound, const QString &reason = QString())
        : kind(kind)
        , reason(reason)
    {
    }
    bool operator==(Kind other) const { return kind == other; }
    bool operator!=(Kind other) const { return kind != other; }

    Kind kind;
    QString reason; // for Unavailable: "the CRM portal at <host> cannot be reached: <why>"
};

} // namespace Orvix::CRM::Bitrix
