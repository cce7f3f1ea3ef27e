#include "configsetup/asterisklocator.h"

#include "configsetup/asteriskconfigreader.h"
#include "configsetup/asterisksettings.h"
#include "configsetup/checkresult.h"
#include "configsetup/programrunner.h"

#include <QHash>
#include <QJsonValue>
#include <QPointer>
#include <QRegularExpression>

namespace Orvix::ConfigSetup {

namespace {
// Asterisk's own default when features.conf sets none.
const QString kDefaultPickupCode = QStringLiteral("*8");
} // namespace

Utils::Promise<QJsonObject> AsteriskLocator::locate(QObject *parent, const QString &rootDirectory,
                                                    const QString &managerUser, std::chrono::milliseconds timeout)
{
    Utils::Promise<QJsonObject> result;
    ProgramRunner::run(parent, QStringLiteral("asterisk"), {QStringLiteral("-V")}, timeout)
        .onResolve([result, rootDirectory, managerUser, timeout, owner = QPointer<QObject>(parent)](
                       const ProgramResult &version) {
            if (!version.started) {
                result.resolve(checkResult(LocateStatus::NotInstalled,
                                           QStringLiteral("Asterisk is not installed on this host")));
                return;
            }
            AsteriskConfigReader reader(rootDirectory);
            for (const QLatin1String &file : {kCelOdbcFile, kResOdbcFile, kOdbcIniFile, kManagerFile})
                reader.readFile(file);
            reader.parseManagerFile(kManagerFile);

            QJsonObject found = checkResult(LocateStatus::Ok, QStringLiteral("Asterisk found"));
            found.insert(QStringLiteral("version"), version.output);
            found.insert(QStringLiteral("settings"),
                         AsteriskSettings::propose(reader.sections(), reader.managerSections(), managerUser));
            found.insert(QStringLiteral("pickup_code"), pickupCode(rootDirectory));
            found.insert(QStringLiteral("context"), phoneContext(rootDirectory));

            if (!owner) {
                result.resolve(checkResult(kNotChecked, QStringLiteral("The search was cancelled")));
                return;
            }
            ProgramRunner::run(owner, QStringLiteral("asterisk"),
                               {QStringLiteral("-rx"), QStringLiteral("cel show status")}, timeout)
                .onResolve([result, found](const ProgramResult &cel) mutable {
                    QJsonObject status;
                    const QJsonValue enabled = cel.ok() ? celEnabled(cel.output) : QJsonValue();
                    status.insert(QStringLiteral("enabled"), enabled.isUndefined() ? QJsonValue() : enabled);
                    status.insert(QStringLiteral("message"),
                                  cel.ok() ? cel.output : QStringLiteral("The Asterisk console did not answer"));
                    found.insert(QStringLiteral("cel"), status);
                    result.resolve(found);
                });
        });
    return result;
}

QString AsteriskLocator::pickupCode(const QString &rootDirectory)
{
    AsteriskConfigReader reader(rootDirectory);
    reader.readFile(kFeaturesFile);
    const QString code = reader.sections().value(QStringLiteral("general")).value(QStringLiteral("pickupexten"));
    return code.isEmpty() ? kDefaultPickupCode : code;
}

QString AsteriskLocator::phoneContext(const QString &rootDirectory)
{
    // The context most phones are put in is where calls the service originates must start.
    QHash<QString, int> counts;
    for (const QLatin1String &file : {kPjsipFile, kSipFile}) {
        AsteriskConfigReader reader(rootDirectory);
        reader.readFile(file);
        const AsteriskConfigReader::Sections sections = reader.sections();
        for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
            const QString type = it.value().value(QStringLiteral("type"));
            const QString context = it.value().value(QStringLiteral("context"));
            const bool phone = type == QLatin1String("endpoint") || type == QLatin1String("friend")
                || type == QLatin1String("peer") || type == QLatin1String("user");
            if (phone && !context.isEmpty())
                ++counts[context];
        }
    }
    QString best;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (best.isEmpty() || it.value() > counts.value(best) || (it.value() == counts.value(best) && it.key() < best))
            best = it.key();
    }
    if (!best.isEmpty())
        return best;

    AsteriskConfigReader dialplan(rootDirectory);
    dialplan.readFile(kExtensionsFile);
    for (const QString &name : {QStringLiteral("from-internal"), QStringLiteral("default")}) {
        if (dialplan.sections().contains(name))
            return name;
    }
    return QString();
}

QJsonValue AsteriskLocator::celEnabled(const QString &consoleOutput)
{
    static const QRegularExpression line(QStringLiteral("CEL Logging:\\s*(Enabled|Disabled)"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = line.match(consoleOutput);
    if (!match.hasMatch())
        return QJsonValue(QJsonValue::Undefined);
    return match.captured(1).compare(QLatin1String("enabled"), Qt::CaseInsensitive) == 0;
}

} // namespace Orvix::ConfigSetup
