#pragma once

#include "config/section.h"
#include "config/setting.h"
#include "config/validators.h"

#include <QDateTime>

namespace Orvix::Config::Modules {

// Business switches of the CRM side, logging, the customizer and the locale.
class App : public Section
{
public:
    App()
        : Section(QStringLiteral("App"))
    {
    }

private:
    Setting<QStringList> m_prefixes{this, "prefixes", {}};
    Setting<bool> m_noLeadMode{this, "no_lead_mode", false};
    Setting<bool> m_createContactsForIncoming{this, "create_contacts_for_incoming", false};
    Setting<bool> m_createContactsForOutgoing{this, "create_contacts_for_outgoing", false};
    Setting<bool> m_createDealsForIncoming{this, "create_deals_for_incoming", false};
    Setting<bool> m_createDealsForOutgoing{this, "create_deals_for_outgoing", false};
    Setting<bool> m_createLeadsForIncoming{this, "create_leads_for_incoming", false};
    Setting<bool> m_createLeadsForOutgoing{this, "create_leads_for_outgoing", false};
    Setting<bool> m_createTaskForUnanswered{this, "create_task_for_unanswered", false};
    Setting<bool> m_postLeadInfoToChat{this, "post_lead_info_to_chat", false};
    Setting<bool> m_createNewActivityAtTransfer{this, "create_new_activity_at_transfer", true};
    Setting<QHash<QString, QString>> m_trunkToSource{this, "trunk_to_source", {}, Validators::crmSources,
                                                     AtStart::Correct};
    // Calls before this moment are history; fixed in the file by the first save. An empty one at start is
    // the first start's: this one.
    Setting<QString> m_historyStartDate{this, "history_start_date",
                                        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                        Validators::dateTime, AtStart::Correct};
    Setting<bool> m_searchIn2gis{this, "search_in_2gis", false};
    Setting<bool> m_storeRecordingsInCrm{this, "store_recordings_in_crm", true};
    Setting<QString> m_customizerProgramPath{this, "customizer_program_path", QStringLiteral("./customizer.php")};
    Setting<bool> m_customizeSearchParams{this, "customize_search_params", false};
    Setting<bool> m_customizeFinalParams{this, "customize_final_params", false};
    Setting<bool> m_customizeEntity{this, "customize_entity", false};
    Setting<bool> m_customizeActivity{this, "customize_activity", false};
    Setting<bool> m_customizeTask{this, "customize_task", false};
    // An older build's postfix may name the directory that holds the saved state: the start keeps it (main).
    Setting<QString> m_generatedPostfix{this, "generated_postfix", QString(), Validators::directoryPostfix,
                                        AtStart::Accept};
    Setting<int> m_customizationTimeMsec{this, "customization_time_msec", 1000, Validators::nonNegative};
    Setting<QString> m_logLevel{this, "log_level", QStringLiteral("debug"), Validators::logLevel, AtStart::Correct};
    // A start with a path it refuses logs to the standard error output instead (Utils::Logger).
    Setting<QString> m_logFile{this, "log_file", QString(), Validators::logFile, AtStart::Accept};
    // A dictionary missing beside a new build is no reason not to start.
    Setting<QString> m_locale{this, "locale", QStringLiteral("_en"), Validators::locale, AtStart::Correct};
};

} // namespace Orvix::Config::Modules
