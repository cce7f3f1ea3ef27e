#pragma once

#include "utils/promise.h"

#include <QHash>
#include <QJsonObject>
#include <QString>

#include <chrono>

namespace Orvix::ConfigSetup {

// Tests the PBX database with a connection of its own ("only_for_check"): that it opens with the
// given settings, that the CEL and CDR tables exist, and that they have the columns the PBX link
// reads. Opening a connection blocks, so the check
// runs on a worker thread of its own pool, one check at a time (they share the connection name);
// CEL polling and everything else on the main thread go on meanwhile. The promise resolves with
// {"status", "message"} on the thread that registered its callbacks.
class DbChecker
{
public:
    struct Settings
    {
        QString host;
        int port = 3306;
        QString user;
        QString password;
        QString database;
        QString celTable = QStringLiteral("cel");
        QString cdrTable = QStringLiteral("cdr");
        // Database.column_name_aliases: logical name ("cdr_cnum") to the column's name in its table.
        QHash<QString, QString> columns;
        // Bounds the connect and every read and write: a server that accepts and never answers ends the
        // check after this long.
        std::chrono::seconds timeout{5};
    };

    static Utils::Promise<QJsonObject> check(const Settings &settings);
    // The check itself, on the calling thread.
    static QJsonObject run(const Settings &settings);
};

} // namespace Orvix::ConfigSetup
