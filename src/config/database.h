#pragma once

#include "config/section.h"
#include "config/setting.h"
#include "config/validators.h"

namespace Orvix::Config::Modules {

// The PBX's call-event database. The alias maps give, for each fixed logical name, the table or column
// name used in that database.
class Database : public Section
{
public:
    Database()
        : Section(QStringLiteral("Database"))
    {
    }

private:
    Setting<QString> m_host{this, "host", QString()};
    Setting<int> m_port{this, "port", 3306, Validators::port};
    Setting<QString> m_user{this, "user", QString()};
    Setting<QString> m_password{this, "password", QString()};
    Setting<QHash<QString, QString>> m_tableNameAliases{this,
                                                        "table_name_aliases",
                                                        {{QStringLiteral("cel"), QStringLiteral("cel")},
                                                         {QStringLiteral("cdr"), QStringLiteral("cdr")}}};
    Setting<QString> m_database{this, "database", QStringLiteral("asteriskcdrdb")};
    Setting<QHash<QString, QString>> m_columnNameAliases{
        this,
        "column_name_aliases",
        {{QStringLiteral("cdr_calldate"), QStringLiteral("calldate")},
         {QStringLiteral("cdr_cnum"), QStringLiteral("cnum")},
         {QStringLiteral("cdr_recordingfile"), QStringLiteral("recordingfile")},
         {QStringLiteral("cdr_src"), QStringLiteral("src")},
         {QStringLiteral("cdr_uniqueid"), QStringLiteral("uniqueid")},
         {QStringLiteral("cel_channame"), QStringLiteral("channame")},
         {QStringLiteral("cel_cid_num"), QStringLiteral("cid_num")},
         {QStringLiteral("cel_eventtime"), QStringLiteral("eventtime")},
         {QStringLiteral("cel_eventtype"), QStringLiteral("eventtype")},
         {QStringLiteral("cel_exten"), QStringLiteral("exten")},
         {QStringLiteral("cel_id"), QStringLiteral("id")},
         {QStringLiteral("cel_linkedid"), QStringLiteral("linkedid")},
         {QStringLiteral("cel_uniqueid"), QStringLiteral("uniqueid")}}};
};

} // namespace Orvix::Config::Modules
