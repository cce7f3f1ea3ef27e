#pragma once

#include "crm/bitrix/callregistration.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QPair>
#include <QString>

#include <chrono>

namespace Orvix::CRM::Bitrix {

// A click-to-call counts for the outgoing call that follows for this long.
inline constexpr std::chrono::seconds kRememberedCallLifetime{60};
inline constexpr int kRememberedCallsWarning = 100;

// The CRM's own registrations of the click-to-calls it asked us to dial, keyed by the phone without
// prefixes, so the outgoing call that follows is not registered a second time. Time comes from the
// call model's clock. Main thread only; a value member of the CRM API.
class RememberedCalls
{
public:
    void remember(const QString &key, const QJsonObject &event);
    // A recent entry; an older one is dropped on the way.
    bool has(const QString &key);
    // Empty when there is none.
    CallRegistration find(const QString &key) const;
    void remove(const QString &key);
    int size() const { return m_calls.size(); }

private:
    QHash<QString, QPair<QDateTime, CallRegistration>> m_calls;
};

} // namespace Orvix::CRM::Bitrix
