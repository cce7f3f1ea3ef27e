#pragma once

#include "actions/reply.h"
#include "crm/bitrix/lookupfailure.h"
#include "utils/promise.h"

#include <QJsonValue>
#include <QPointer>
#include <QString>

namespace Orvix::Actions {

// The answer of the two responsible-user routes: 200 {"result": value}; 503 {"error": "Busy"} when the
// CRM side already has as many lookups waiting as it takes, so the client may come back later; 404
// {"error": "Responsible not found"} otherwise.
template <typename T>
void answerLookupWhenSettled(Reply *reply, const Utils::Promise<T, CRM::Bitrix::LookupFailure> &promise)
{
    const QPointer<Reply> guard(reply);
    promise.onResolve([guard](T value) {
        if (guard)
            guard->sendResult(QJsonValue(value));
    });
    promise.onReject([guard](CRM::Bitrix::LookupFailure failure) {
        if (!guard)
            return;
        if (failure == CRM::Bitrix::LookupFailure::Busy)
            guard->sendError(503, QStringLiteral("Busy"));
        else
            guard->sendError(404, QStringLiteral("Responsible not found"));
    });
}

} // namespace Orvix::Actions
