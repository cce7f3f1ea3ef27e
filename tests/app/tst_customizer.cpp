#include "app/customizer.h"
#include "utils/msgbuilder.h"

#include <QFile>
#include <QJsonArray>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <functional>
#include <memory>
#include <signal.h>

using Orvix::Customizer;

namespace {

QMutex g_mutex;
QStringList g_messages;

// The scripts log from pool threads.
void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QMutexLocker locker(&g_mutex);
    g_messages.append(message);
}

QStringList messages()
{
    const QMutexLocker locker(&g_mutex);
    return g_messages;
}

// What a hook's promise became, its value written as JSON whatever the hook's type.
struct HookOutcome
{
    bool settled = false;
    bool resolved = false;
    QJsonValue value;
    QString error;
    QThread *thread = nullptr;
};

template <typename T>
QSharedPointer<HookOutcome> track(const Orvix::Utils::Promise<T, QString> &promise,
                                  std::function<QJsonValue(const T &)> toJson)
{
    auto outcome = QSharedPointer<HookOutcome>::create();
    promise.onResolve([outcome, toJson](T value) {
        outcome->value = toJson(value);
        outcome->resolved = outcome->settled = true;
        outcome->thread = QThread::currentThread();
    });
    promise.onReject([outcome](QString error) {
        outcome->error = error;
        outcome->settled = true;
        outcome->thread = QThread::currentThread();
    });
    return outcome;
}

QSharedPointer<HookOutcome> callHook(Customizer &customizer, const QString &hook, const QJsonObject &input)
{
    const auto text = [](const QString &value) { return QJsonValue(value); };
    const auto object = [](const QJsonObject &value) { return QJsonValue(value); };
    if (hook == QLatin1String("process_phone_number"))
        return track<QString>(customizer.processPhoneNumber(input.value("phone").toString()), text);
    if (hook == QLatin1String("process_record_file_path"))
        return track<QString>(customizer.processRecordFilePath(input.value("call_id").toString(),
                                                               input.value("from").toString(),
                                                               input.value("to").toString(),
                                                               input.value("path").toString()),
                              text);
    if (hook == QLatin1String("process_originate_params")) {
        QHash<QString, QString> params;
        for (auto it = input.constBegin(); it != input.constEnd(); ++it)
            params.insert(it.key(), it.value().toString());
        return track<QHash<QString, QString>>(customizer.processOriginateParams(params),
                                              [](const QHash<QString, QString> &value) {
                                                  QJsonObject result;
                                                  for (auto it = value.constBegin(); it != value.constEnd(); ++it)
                                                      result.insert(it.key(), it.value());
                                                  return QJsonValue(result);
                                              });
    }
    const QHash<QString, std::function<Orvix::Utils::Promise<QJsonObject, QString>(const QJsonObject &)>> objectHooks{
        {"process_search_params", [&](const QJsonObject &p) { return customizer.processSearchParams(p); }},
        {"process_final_params", [&](const QJsonObject &p) { return customizer.processFinalParams(p); }},
        {"process_entity_creation_params",
         [&](const QJsonObject &p) { return customizer.processEntityCreationParams(p); }},
        {"process_task_creation_params", [&](const QJsonObject &p) { return customizer.processTaskAddParams(p); }},
        {"get_updated_lead_fields", [&](const QJsonObject &p) { return customizer.getCustomLeadParams(p); }},
        {"get_updated_activity_fields", [&](const QJsonObject &p) { return customizer.getCustomActivityParams(p); }},
    };
    if (!objectHooks.contains(hook))
        return {};
    return track<QJsonObject>(objectHooks.value(hook)(input), object);
}

const QJsonObject kPhone{{"phone", "79001234567"}};
const QJsonObject kRecord{{"call_id", "1796630253.0"}, {"from", "79001234567"}, {"to", "101"},
                          {"path", "/var/spool/asterisk/monitor/1796630253.0.wav"}};
const QJsonObject kOriginate{{"Channel", "PJSIP/100"}, {"Exten", "200"}, {"Context", "from-internal"}};
const QJsonObject kLead{{"TITLE", "Call from 79001234567"},
                        {"PHONE", QJsonArray{QJsonObject{{"VALUE", "79001234567"}}}}};

enum Switch { Search = 1, Final = 2, Entity = 4, Activity = 8, Task = 16, All = 31 };

} // namespace

class tst_Customizer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void answers_data();
    void answers();
    void switches_data();
    void switches();
    void scriptOverTimeIsKilled_data();
    void scriptOverTimeIsKilled();
    void negativeTimeOutNeverWaitsForEver();
    void destructionWaitsForRunningHooks();

private:
    QString writeScript(const QString &name, const QByteArray &body);

    QTemporaryDir m_dir;
};

void tst_Customizer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("LD_LIBRARY_PATH", "/nowhere/lib");
    qputenv("ORVIX_CUSTOMIZER_MARK", "kept");
}

void tst_Customizer::init()
{
    {
        const QMutexLocker locker(&g_mutex);
        g_messages.clear();
    }
    qInstallMessageHandler(recordMessage);
}

void tst_Customizer::cleanup()
{
    qInstallMessageHandler(nullptr);
}

QString tst_Customizer::writeScript(const QString &name, const QByteArray &body)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write("#!/bin/sh\n" + body + '\n');
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

void tst_Customizer::answers_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("hook");
    QTest::addColumn<QJsonObject>("input");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QJsonValue>("result"); // the value resolved with, or the reason rejected with
    QTest::addColumn<QString>("log");       // pattern of the run's error message; empty: none

    const QByteArray echo = R"(printf '{"state":"success","data":{"hook":"%s","argument":%s}}' "$1" "$2")";
    const QByteArray unknown = "Unknown error";

    QTest::newRow("hook name and argument reach the script")
        << echo << "process_entity_creation_params" << kLead << true
        << QJsonValue(QJsonObject{{"hook", "process_entity_creation_params"}, {"argument", kLead}}) << QString();
    QTest::newRow("recording hook sends its four fields")
        << QByteArray(R"sh(printf '{"state":"success","data":{"path":"%s"}}' "$(printf '%s' "$2" | tr -d '"')")sh")
        << "process_record_file_path" << kRecord << true
        << QJsonValue("{call_id:1796630253.0,from:79001234567,path:/var/spool/asterisk/monitor/1796630253.0.wav,"
                      "to:101}")
        << QString();
    QTest::newRow("phone rewritten")
        << QByteArray(R"(echo '{"state":"success","data":{"phone":"74951234567"}}')") << "process_phone_number"
        << kPhone << true << QJsonValue("74951234567") << QString();
    QTest::newRow("phone kept without data")
        << QByteArray(R"(echo '{"state":"success"}')") << "process_phone_number" << kPhone << true
        << QJsonValue("79001234567") << QString();
    QTest::newRow("phone kept when the answer is no text")
        << QByteArray(R"(echo '{"state":"success","data":{"phone":7}}')") << "process_phone_number" << kPhone << true
        << QJsonValue("79001234567") << QString();
    QTest::newRow("originate replaced as a whole")
        << QByteArray(R"(echo '{"state":"success","data":{"Channel":"PJSIP/101","Priority":1}}')")
        << "process_originate_params" << kOriginate << true
        << QJsonValue(QJsonObject{{"Channel", "PJSIP/101"}, {"Priority", "BAD_ORIGINATE"}}) << QString();
    QTest::newRow("originate emptied without data")
        << QByteArray(R"(echo '{"state":"success"}')") << "process_originate_params" << kOriginate << true
        << QJsonValue(QJsonObject{}) << QString();
    QTest::newRow("search ignored by the top-level action")
        << QByteArray(R"(echo '{"state":"success","action":"ignore","data":{"phone":"1","action":"register"}}')")
        << "process_search_params" << kPhone << true << QJsonValue(QJsonObject{{"phone", "1"}, {"action", "ignore"}})
        << QString();
    QTest::newRow("search without data or action")
        << QByteArray(R"(echo '{"state":"success"}')") << "process_search_params" << kPhone << true
        << QJsonValue(QJsonObject{{"action", ""}}) << QString();
    QTest::newRow("register keeps the data as given")
        << QByteArray(R"(echo '{"state":"success","action":"register","data":{"a":"b","action":"x"}}')")
        << "process_final_params" << kPhone << true << QJsonValue(QJsonObject{{"a", "b"}, {"action", "x"}})
        << QString();
    QTest::newRow("data that is no object")
        << QByteArray(R"(echo '{"state":"success","data":[1]}')") << "get_updated_lead_fields" << kLead << true
        << QJsonValue(QJsonObject{}) << QString();
    QTest::newRow("disabled keeps the fields")
        << QByteArray(R"(echo '{"state":"disabled","data":{"a":1}}')") << "get_updated_activity_fields" << kLead
        << true << QJsonValue(kLead) << QString();
    QTest::newRow("disabled keeps the originate")
        << QByteArray(R"(echo '{"state":"disabled"}')") << "process_originate_params" << kOriginate << true
        << QJsonValue(kOriginate) << QString();
    QTest::newRow("refusal with its reason")
        << QByteArray(R"(echo '{"state":"error","data":"Not our client"}')") << "process_task_creation_params"
        << kLead << false << QJsonValue("Not our client") << QString();
    QTest::newRow("refusal without a text")
        << QByteArray(R"(echo '{"state":"fail","data":42}')") << "process_phone_number" << kPhone << false
        << QJsonValue(unknown.constData()) << QString();
    QTest::newRow("answer without a state")
        << QByteArray(R"(echo '{"data":{"phone":"1"}}')") << "process_phone_number" << kPhone << false
        << QJsonValue(unknown.constData()) << QString();
    QTest::newRow("nothing written") << QByteArray("exit 0") << "process_final_params" << kLead << false
                                     << QJsonValue(unknown.constData()) << QString();
    QTest::newRow("text after the object")
        << QByteArray(R"(echo '{"state":"success","data":{}} and more')") << "process_final_params" << kLead
        << false << QJsonValue(unknown.constData()) << QString();
    QTest::newRow("an array") << QByteArray(R"(echo '[{"state":"success"}]')") << "process_final_params" << kLead
                              << false << QJsonValue(unknown.constData()) << QString();
    QTest::newRow("non-zero exit logs its error output")
        << QByteArray(R"(echo '{"state":"success","data":{}}'; echo 'no database' >&2; exit 3)")
        << "process_entity_creation_params" << kLead << false << QJsonValue(unknown.constData())
        << QStringLiteral("Customization Error \\[3\\]: \\[no database\\]");
    // Its lines must not read as the service's own in the log.
    QTest::newRow("error output of several lines is one entry")
        << QByteArray(R"(printf 'no database\n[2026-01-02 03:04:05.678 MSK]\tcritical\tforged\r\n' >&2; exit 4)")
        << "process_entity_creation_params" << kLead << false << QJsonValue(unknown.constData())
        << QStringLiteral("Customization Error \\[4\\]: \\[no database\\\\n\\[2026-01-02 03:04:05\\.678 MSK\\]\\tcritical\\tforged\\]");
    // Read and dropped as it comes: the log keeps the head and says how much went.
    QTest::newRow("a huge error output is cut")
        << QByteArray(R"(head -c 300000 /dev/zero | tr '\0' e >&2; exit 5)") << "process_entity_creation_params"
        << kLead << false << QJsonValue(unknown.constData())
        << QStringLiteral("Customization Error \\[5\\]: \\[(?:e{1024}){%1}\\] \\(%2 more bytes of its standard error "
                          "dropped\\)")
               .arg(Orvix::kCustomizerErrorKept / 1024)
               .arg(300000 - Orvix::kCustomizerErrorKept);
    QTest::newRow("an answer past its limit fails the run")
        << QByteArray(R"(printf '{"state":"success","data":{"phone":"'; head -c 2000000 /dev/zero | tr '\0' 7;)"
                      R"( echo '"}}')")
        << "process_phone_number" << kPhone << false << QJsonValue(unknown.constData())
        << QStringLiteral("Customization Error: \\[the answer on standard output passed %1 bytes\\]")
               .arg(Orvix::kCustomizerAnswerLimit);
    QTest::newRow("crash is a failed run")
        << QByteArray(R"(echo '{"state":"success","data":{}}'; kill -SEGV $$)") << "process_entity_creation_params"
        << kLead << false << QJsonValue(unknown.constData()) << QStringLiteral("Customization Error: \\[.+\\]");
    QTest::newRow("standard input is at its end")
        << QByteArray(R"(cat >/dev/null; echo '{"state":"success","data":{"phone":"read"}}')")
        << "process_phone_number" << kPhone << true << QJsonValue("read") << QString();
    QTest::newRow("environment without the library path")
        << QByteArray(R"(printf '{"state":"success","data":{"ld":"%s","mark":"%s"}}' "${LD_LIBRARY_PATH-unset}" )"
                      R"("$ORVIX_CUSTOMIZER_MARK")")
        << "get_updated_lead_fields" << kLead << true << QJsonValue(QJsonObject{{"ld", "unset"}, {"mark", "kept"}})
        << QString();
}

void tst_Customizer::answers()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, hook);
    QFETCH(QJsonObject, input);
    QFETCH(bool, resolved);
    QFETCH(QJsonValue, result);
    QFETCH(QString, log);

    const QString path = writeScript("answer.sh", script);
    QVERIFY(!path.isEmpty());
    // Generous: no row should come near it; a script left waiting on its input would.
    Customizer customizer(path, 20000, true, true, true, true, true);

    const auto outcome = callHook(customizer, hook, input);
    QVERIFY(outcome);
    // The answer comes from a pool thread, through this thread's event loop.
    QVERIFY(!outcome->settled);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 30000);
    QCOMPARE(outcome->thread, QThread::currentThread());
    QCOMPARE(outcome->resolved, resolved);
    if (resolved)
        QCOMPARE(outcome->value, result);
    else
        QCOMPARE(outcome->error, result.toString());

    QStringList errors;
    for (const QString &message : messages()) {
        if (message.contains("Customization Error"))
            errors.append(message);
    }
    if (log.isEmpty()) {
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
    } else {
        QCOMPARE(errors.size(), 1);
        const QString prefix = Orvix::Utils::MsgBuilder().build(Orvix::Utils::MsgBuilder::Error, QString());
        QVERIFY2(errors.first().startsWith(prefix), qPrintable(errors.first()));
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(log));
        QVERIFY2(pattern.match(errors.first().mid(prefix.size())).hasMatch(), qPrintable(errors.first()));
    }
}

void tst_Customizer::switches_data()
{
    QTest::addColumn<QString>("program"); // "script", "none", "missing" or "appears" (after the first call)
    QTest::addColumn<int>("switches");
    QTest::addColumn<QString>("hook");
    QTest::addColumn<QJsonObject>("input");
    QTest::addColumn<bool>("runs");

    for (const char *program : {"none", "missing"}) {
        QTest::addRow("%s: phone", program) << program << int(All) << "process_phone_number" << kPhone << false;
        QTest::addRow("%s: recording", program) << program << int(All) << "process_record_file_path" << kRecord
                                                << false;
        QTest::addRow("%s: originate", program) << program << int(All) << "process_originate_params" << kOriginate
                                                << false;
        QTest::addRow("%s: search", program) << program << int(All) << "process_search_params" << kPhone << false;
        QTest::addRow("%s: entity", program) << program << int(All) << "process_entity_creation_params" << kLead
                                             << false;
    }
    QTest::newRow("installed after the start") << "appears" << int(All) << "process_phone_number" << kPhone << true;
    QTest::newRow("phone needs no switch") << "script" << 0 << "process_phone_number" << kPhone << true;
    QTest::newRow("recording needs no switch") << "script" << 0 << "process_record_file_path" << kRecord << true;
    QTest::newRow("originate needs no switch") << "script" << 0 << "process_originate_params" << kOriginate << true;
    QTest::newRow("search off") << "script" << int(All & ~Search) << "process_search_params" << kPhone << false;
    QTest::newRow("search on") << "script" << int(Search) << "process_search_params" << kPhone << true;
    QTest::newRow("final off") << "script" << int(All & ~Final) << "process_final_params" << kLead << false;
    QTest::newRow("final on") << "script" << int(Final) << "process_final_params" << kLead << true;
    QTest::newRow("entity off: creation") << "script" << int(All & ~Entity) << "process_entity_creation_params"
                                          << kLead << false;
    QTest::newRow("entity off: lead fields") << "script" << int(All & ~Entity) << "get_updated_lead_fields" << kLead
                                             << false;
    QTest::newRow("entity on: lead fields") << "script" << int(Entity) << "get_updated_lead_fields" << kLead << true;
    QTest::newRow("activity off") << "script" << int(All & ~Activity) << "get_updated_activity_fields" << kLead
                                  << false;
    QTest::newRow("activity on") << "script" << int(Activity) << "get_updated_activity_fields" << kLead << true;
    QTest::newRow("task off") << "script" << int(All & ~Task) << "process_task_creation_params" << kLead << false;
    QTest::newRow("task on") << "script" << int(Task) << "process_task_creation_params" << kLead << true;
}

void tst_Customizer::switches()
{
    QFETCH(QString, program);
    QFETCH(int, switches);
    QFETCH(QString, hook);
    QFETCH(QJsonObject, input);
    QFETCH(bool, runs);

    // Every member a hook could read back, so a run always changes the input.
    const QString script = writeScript(
        "switch.sh", R"(echo '{"state":"success","data":{"phone":"ran","path":"ran","Channel":"ran"}}')");
    const QString path = program == "script" ? script : program == "none" ? QString() : m_dir.filePath(program);
    Customizer customizer(path, 20000, switches & Search, switches & Final, switches & Entity, switches & Activity,
                          switches & Task);
    // Said once, not at every call, nor when the settings are read again unchanged.
    customizer.updateSettings(path, 20000, switches & Search, switches & Final, switches & Entity,
                              switches & Activity, switches & Task);
    QVERIFY(callHook(customizer, hook, input));
    QCOMPARE(messages().filter(QStringLiteral("customisation off: %1 not found").arg(path)).size(),
             program == "missing" || program == "appears" ? 1 : 0);
    QVERIFY(messages().filter("Customization Error").isEmpty());
    // Taken up at the next call, without a change of the settings.
    QVERIFY(program != "appears" || QFile::copy(script, path));

    const auto outcome = callHook(customizer, hook, input);
    QVERIFY(outcome);
    if (!runs) {
        // Answered at once, with the input, without a thread.
        QVERIFY(outcome->resolved);
        QCOMPARE(outcome->thread, QThread::currentThread());
        const QJsonValue expected = hook == "process_phone_number"       ? input.value("phone")
                                    : hook == "process_record_file_path" ? input.value("path")
                                                                         : QJsonValue(input);
        QCOMPARE(outcome->value, expected);
        return;
    }
    QVERIFY(!outcome->settled);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 30000);
    QVERIFY(outcome->resolved);
    QVERIFY(outcome->value != QJsonValue(input));
}

void tst_Customizer::scriptOverTimeIsKilled_data()
{
    QTest::addColumn<QByteArray>("script"); // writes the pid to end with into PIDFILE
    QTest::addColumn<bool>("stopped"); // by a stop of the service, its time-out 10 minutes away
    QTest::newRow("the script itself") << QByteArray("echo $$ > 'PIDFILE'\nexec sleep 60") << false;
    QTest::newRow("a program the script started") << QByteArray("sleep 60 &\necho $! > 'PIDFILE'\nwait") << false;
    QTest::newRow("a program the script started, at a stop") << QByteArray("sleep 60 &\necho $! > 'PIDFILE'\nwait")
                                                              << true;
}

void tst_Customizer::scriptOverTimeIsKilled()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, stopped);
    const QString pidFile = m_dir.filePath("sleeper.pid");
    QFile::remove(pidFile);
    const QString path = writeScript("sleeper.sh", script.replace("PIDFILE", pidFile.toUtf8()));
    Customizer customizer(path, stopped ? 600000 : 1000, true, true, true, true, true);

    const auto outcome = callHook(customizer, "process_phone_number", kPhone);
    if (stopped) {
        QTRY_VERIFY(QFile::exists(pidFile));
        customizer.stop();
    }
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 30000);
    QVERIFY(!outcome->resolved);
    QCOMPARE(outcome->error, QStringLiteral("Unknown error"));
    QVERIFY(messages().filter("Customization Error: [").size() == 1);

    QFile file(pidFile);
    QVERIFY2(file.open(QIODevice::ReadOnly), "the script did not start within its time");
    const pid_t pid = pid_t(file.readAll().trimmed().toLongLong());
    QVERIFY(pid > 0);
    // Ended once the kill is delivered (the hook has answered by then, but a signal to a group is not
    // synchronous): gone, or a zombie that whoever inherited it has still to reap.
    const auto ended = [pid]() {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray line = stat.readAll();
        return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
    };
    QTRY_VERIFY(ended());
}

void tst_Customizer::negativeTimeOutNeverWaitsForEver()
{
    const QString script =
        // Short sleeps, so that killing the shell leaves nothing behind for long.
        writeScript("patient.sh", R"(i=0; while [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done
echo '{"state":"success","data":{"phone":"waited"}}')");
    Customizer customizer(script, -1, false, false, false, false, false);

    const auto outcome = callHook(customizer, "process_phone_number", kPhone);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 30000);
    QVERIFY(!outcome->resolved);
    QCOMPARE(outcome->error, QStringLiteral("Unknown error"));
}

void tst_Customizer::destructionWaitsForRunningHooks()
{
    const QString mark = m_dir.filePath("finished.mark");
    const QString script = writeScript("slow.sh", "sleep 1\necho done > '" + mark.toUtf8() + "'\n"
                                                  R"(echo '{"state":"success","data":{"phone":"late"}}')");
    auto customizer = std::make_unique<Customizer>(script, 20000, false, false, false, false, false);

    const auto outcome = callHook(*customizer, "process_phone_number", kPhone);
    customizer.reset();
    QVERIFY(QFile::exists(mark));
    // Settled already; the callback still comes through this thread's loop.
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);
    QCOMPARE(outcome->value, QJsonValue("late"));
}

QTEST_GUILESS_MAIN(tst_Customizer)
#include "tst_customizer.moc"
