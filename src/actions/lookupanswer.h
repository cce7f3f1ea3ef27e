#pragma once

#include "actions/reply.h"
#include "crm/bitrix/lookupfailure.h"
#include "utils/promise.h"

#include <QJsonValue>
#include <QPointer>
#include <QString>

namespace Orvix::Actions {

// The answer of the two responsible-user routes: 200 {"result": value}; 503 {"error": "Busy"} when the
// CRM side already has as many lookups waiting as it takes, so the client may come back later; 503 with
// the reason when the portal cannot be asked (a failure is never reported as an absence); 404
// {"error": "Responsible not found"} otherwise.
template <typename T>
void answerLookupWhenSettled(Reply *reply, const Utils::Promise<T, CRM::Bitrix::LookupFailure> &promise)
{
    const QPointer<Reply> guard(reply);
    promise.onResolve([guard](T value) {
        if (guard)
            guard->sendResult(QJsonValue(value));
    });
    promise.onReject([guard](const CRM::Bitrix::LookupFailure &failure) {
        if (!guard)
            return;
        switch (failure.kind) {
        case CRM::Bitrix::LookupFailure::Busy:
            guard->sendError(503, QStringLiteral("Busy"));
            break;
        case CRM::Bitrix::LookupFailure::Unavailable:
            guard->sendError(503, failure.reason.isEmpty() ? QStringLiteral("The CRM portal cannot be reached")
                                                           : failure.reason);
            break;
        case CRM::Bitrix::LookupFailure::NotFound:
            guard->sendError(404, QStringLiteral("Responsible not found"));
            break;
        }
    });
}

} // namespace Orvix::Actions
