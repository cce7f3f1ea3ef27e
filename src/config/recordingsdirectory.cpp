#include "config/recordingsdirectory.h"

#include "config/manager.h"

#include <QFile>

namespace Orvix::Config {

namespace {

constexpr char kAsteriskRootVariable[] = "CALVENA_ASTERISK_CONFIG_ROOT";

} // namespace

QString recordingsDirectory()
{
    const QString configured = Manager::getString(Manager::Asterisk, QStringLiteral("recordings_dir"));
    return configured.isEmpty() ? asteriskMonitorDirectory() : configured;
}

QString asteriskMonitorDirectory()
{
    QString spool = QStringLiteral("/var/spool/asterisk");
    QFile file(qEnvironmentVariable(kAsteriskRootVariable) + QStringLiteral("/etc/asterisk/asterisk.conf"));
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        bool directories = false;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).section(QLatin1Char(';'), 0, 0).trimmed();
            if (line.startsWith(QLatin1Char('['))) {
                directories = line.mid(1).section(QLatin1Char(']'), 0, 0).trimmed() == QLatin1String("directories");
                continue;
            }
            const int equals = line.indexOf(QLatin1Char('='));
            if (!directories || equals < 0
                || line.left(equals).trimmed().compare(QLatin1String("astspooldir"), Qt::CaseInsensitive) != 0)
                continue;
            // "key => value" or "key = value"
            QString value = line.mid(equals + 1);
            if (value.startsWith(QLatin1Char('>')))
                value.remove(0, 1);
            if (!value.trimmed().isEmpty())
                spool = value.trimmed();
        }
    }
    return spool + QStringLiteral("/monitor");
}

} // namespace Orvix::Config
