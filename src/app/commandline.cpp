#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace Orvix {

namespace {
// The query of the "testcall" option: every CEL record of the one call, in order.
constexpr char kTestCallSql[] = "select * from cel where linkedid='%1' order by id asc";
} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addVersionOption();
    parser.addHelpOption();

    const QCommandLineOption clean(QStringList{QStringLiteral("c"), QStringLiteral("clean")},
                                   QCoreApplication::translate("main", "Discard all previous data."));
    const QCommandLineOption eventsSql(QStringLiteral("pbxeventssql"),
                                       QCoreApplication::translate("main", "Override PBX events SQL request."),
                                       QStringLiteral("sqlrequest"));
    const QCommandLineOption testCall(QStringList{QStringLiteral("T"), QStringLiteral("testcall")},
                                      QCoreApplication::translate("main", "Select call by linkedid."),
                                      QStringLiteral("linkedid"));
    const QCommandLineOption configName(QStringLiteral("configname"),
                                        QCoreApplication::translate("main", "Custom config file name."),
                                        QStringLiteral("configname"));
    const QCommandLineOption legal(QStringLiteral("legal"),
                                   QCoreApplication::translate("main", "Display application info"));
    parser.addOptions({clean, eventsSql, testCall, configName, legal});
    parser.process(arguments);

    CommandLine result;
    result.clean = parser.isSet(clean);
    result.legal = parser.isSet(legal);
    if (parser.isSet(eventsSql))
        result.eventsSql = parser.value(eventsSql);
    // A test call selects one call's records and wins over an explicit query.
    if (parser.isSet(testCall))
        result.eventsSql = QString::fromLatin1(kTestCallSql).arg(parser.value(testCall));
    if (parser.isSet(configName))
        result.configName = parser.value(configName);
    return result;
}

} // namespace Orvix
