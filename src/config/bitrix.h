#pragma once

#include "config/section.h"
#include "config/setting.h"
#include "config/validators.h"

namespace Orvix::Config::Modules {

// The CRM portal account and the pacing of its requests.
class Bitrix : public Section
{
public:
    Bitrix()
        : Section(QStringLiteral("Bitrix"))
    {
    }

private:
    Setting<QString> m_host{this, "host", QString(), Validators::portalAddress, AtStart::Correct};
    Setting<int> m_userId{this, "user_id", 0, Validators::nonNegative, AtStart::Correct};
    Setting<QString> m_userLogin{this, "user_login", QString()};
    Setting<QString> m_userPassword{this, "user_password", QString()};
    Setting<int> m_executionLoopIntervalMsec{this, "execution_loop_interval_msec", 500, Validators::nonNegative};
    Setting<int> m_cacheStorageTimeMin{this, "cache_storage_time_min", 0, Validators::nonNegative};
    Setting<bool> m_useClickToCallServer{this, "use_click_to_call_server", false};
    Setting<bool> m_useExternalLines{this, "use_external_lines", false};
    Setting<QList<int>> m_fallbackUsers{this, "fallback_users", {}, Validators::userIds, AtStart::Correct};
};

} // namespace Orvix::Config::Modules
