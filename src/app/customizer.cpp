#include "app/customizer.h"

#include "utils/msgbuilder.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QStandardPaths>
#include <QThreadPool>
#include <QWaitCondition>

#include <algorithm>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace Orvix {

namespace {

const QString kUnknownError = QStringLiteral("Unknown error");
// A value the PBX would refuse: marks an originate parameter the script answered with a non-text.
const QString kBadOriginate = QStringLiteral("BAD_ORIGINATE");

void logRunError(const QString &message)
{
    qWarning().noquote() << Utils::MsgBuilder().build(Utils::MsgBuilder::Error, message);
}

QJsonObject dataObject(const QJsonObject &answer)
{
    return answer.value(QLatin1String("data")).toObject();
}

QString dataMember(const QJsonObject &answer, QLatin1String key, const QString &fallback)
{
    const QJsonValue value = dataObject(answer).value(key);
    return value.isString() ? value.toString() : fallback;
}

QString phoneFromAnswer(const QJsonObject &answer, const QString &input)
{
    return dataMember(answer, QLatin1String("phone"), input);
}

QString pathFromAnswer(const QJsonObject &answer, const QString &input)
{
    return dataMember(answer, QLatin1String("path"), input);
}

QHash<QString, QString> originateFromAnswer(const QJsonObject &answer, const QHash<QString, QString> &)
{
    // The script's answer replaces the parameters as a whole: what it leaves out is not sent.
    QHash<QString, QString> result;
    const QJsonObject data = dataObject(answer);
    for (auto it = data.constBegin(); it != data.constEnd(); ++it)
        result.insert(it.key(), it.value().isString() ? it.value().toString() : kBadOriginate);
    return result;
}

QJsonObject objectFromAnswer(const QJsonObject &answer, const QJsonObject &)
{
    return dataObject(answer);
}

QJsonObject objectWithActionFromAnswer(const QJsonObject &answer, const QJsonObject &)
{
    // "register" lets the data through as given; any other action (also none) overrides the data's own.
    QJsonObject result = dataObject(answer);
    const QString action = answer.value(QLatin1String("action")).toString();
    if (action != QLatin1String("register"))
        result.insert(QStringLiteral("action"), action);
    return result;
}

// The script runs in a process group of its own, so that a run that is ended takes whatever the script
// started along (a shell script's commands, an interpreter's children) instead of leaving them behind.
class ScriptProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

// The log is read line by line: a line break in the script's error output would start a line that
// reads as one of the service's own.
QString oneLine(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\\n"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return text;
}

int runTimeoutFrom(int timeoutMsec)
{
    // A negative wait would block a pool thread for as long as the script likes.
    return std::max(timeoutMsec, 0);
}

} // namespace

struct Customizer::RunningHooks
{
    QMutex mutex;
    QWaitCondition idle;
    int count = 0;
    bool stopped = false;
    // The process groups of the scripts running now.
    QSet<qint64> groups;

    // False once stopped: the script is not to run.
    bool enter(qint64 group)
    {
        const QMutexLocker locker(&mutex);
        if (!stopped)
            groups.insert(group);
        return !stopped;
    }
    void leave(qint64 group)
    {
        const QMutexLocker locker(&mutex);
        groups.remove(group);
    }
};

Customizer::Customizer(const QString &programPath, int timeoutMsec, bool customizeSearchParams,
                       bool customizeFinalParams, bool customizeEntity, bool customizeActivity, bool customizeTask)
    : m_programPath(programPath)
    , m_timeoutMsec(runTimeoutFrom(timeoutMsec))
    , m_customizeSearchParams(customizeSearchParams)
    , m_customizeFinalParams(customizeFinalParams)
    , m_customizeEntity(customizeEntity)
    , m_customizeActivity(customizeActivity)
    , m_customizeTask(customizeTask)
    , m_running(QSharedPointer<RunningHooks>::create())
{
    findProgram(QString());
}

Customizer::~Customizer()
{
    // The runs hold no reference to us, but their answers are still awaited by the owner's parts.
    waitForRunningHooks();
}

void Customizer::updateSettings(const QString &programPath, int timeoutMsec, bool customizeSearchParams,
                                bool customizeFinalParams, bool customizeEntity, bool customizeActivity,
                                bool customizeTask)
{
    const QString previousPath = m_programPath;
    m_programPath = programPath;
    findProgram(previousPath);
    m_timeoutMsec = runTimeoutFrom(timeoutMsec);
    m_customizeSearchParams = customizeSearchParams;
    m_customizeFinalParams = customizeFinalParams;
    m_customizeEntity = customizeEntity;
    m_customizeActivity = customizeActivity;
    m_customizeTask = customizeTask;
}

void Customizer::findProgram(const QString &previousPath)
{
    // As the run would look for it: a name without a slash on the PATH, any other path as it is.
    m_programFound = !m_programPath.isEmpty()
        && (m_programPath.contains(QLatin1Char('/')) ? QFileInfo(m_programPath).isFile()
                                                     : !QStandardPaths::findExecutable(m_programPath).isEmpty());
    // The default names a script most installations do not have: once, not at every call.
    if (!m_programFound && !m_programPath.isEmpty() && m_programPath != previousPath)
        qInfo().noquote() << QStringLiteral("customisation off: %1 not found").arg(m_programPath);
}

bool Customizer::programFound()
{
    // A script installed after the start is taken up at its next call; its absence was said already.
    if (!m_programFound)
        findProgram(m_programPath);
    return m_programFound;
}

void Customizer::waitForRunningHooks()
{
    QMutexLocker locker(&m_running->mutex);
    while (m_running->count > 0)
        m_running->idle.wait(&m_running->mutex);
}

void Customizer::stop()
{
    const QMutexLocker locker(&m_running->mutex);
    m_running->stopped = true;
    for (const qint64 group : qAsConst(m_running->groups))
        ::kill(-pid_t(group), SIGKILL);
}

template <typename T>
Utils::Promise<T, QString> Customizer::submit(const QString &hookName, const QJsonObject &argument, const T &input,
                                              T (*success)(const QJsonObject &answer, const T &input))
{
    Utils::Promise<T, QString> promise;
    const QSharedPointer<RunningHooks> running = m_running;
    const RunSettings settings{m_programPath, m_startTimeout, std::chrono::milliseconds(m_timeoutMsec), running};
    {
        const QMutexLocker locker(&running->mutex);
        ++running->count;
    }
    QThreadPool::globalInstance()->start([settings, hookName, argument, input, success, promise, running]() {
        const QJsonObject answer = runHook(settings, hookName, argument);
        const QString state = answer.value(QLatin1String("state")).toString();
        if (state == QLatin1String("disabled")) {
            promise.resolve(input);
        } else if (state == QLatin1String("success")) {
            promise.resolve(success(answer, input));
        } else {
            const QJsonValue data = answer.value(QLatin1String("data"));
            promise.reject(data.isString() ? data.toString() : kUnknownError);
        }
        const QMutexLocker locker(&running->mutex);
        if (--running->count == 0)
            running->idle.wakeAll();
    });
    return promise;
}

Utils::Promise<QJsonObject, QString> Customizer::submitObject(bool enabled, const QString &hookName,
                                                              const QJsonObject &params)
{
    if (!enabled || !programFound()) {
        Utils::Promise<QJsonObject, QString> promise;
        promise.resolve(params);
        return promise;
    }
    return submit<QJsonObject>(hookName, params, params, &objectFromAnswer);
}

Utils::Promise<QJsonObject, QString> Customizer::submitWithAction(bool enabled, const QString &hookName,
                                                                  const QJsonObject &params)
{
    if (!enabled || !programFound()) {
        Utils::Promise<QJsonObject, QString> promise;
        promise.resolve(params);
        return promise;
    }
    return submit<QJsonObject>(hookName, params, params, &objectWithActionFromAnswer);
}

Utils::Promise<QString, QString> Customizer::processPhoneNumber(const QString &phone)
{
    if (!programFound()) {
        Utils::Promise<QString, QString> promise;
        promise.resolve(phone);
        return promise;
    }
    return submit<QString>(QStringLiteral("process_phone_number"), QJsonObject{{QStringLiteral("phone"), phone}},
                           phone, &phoneFromAnswer);
}

Utils::Promise<QString, QString> Customizer::processRecordFilePath(const QString &callId, const QString &from,
                                                                   const QString &to, const QString &path)
{
    if (!programFound()) {
        Utils::Promise<QString, QString> promise;
        promise.resolve(path);
        return promise;
    }
    const QJsonObject argument{{QStringLiteral("call_id"), callId},
                               {QStringLiteral("from"), from},
                               {QStringLiteral("to"), to},
                               {QStringLiteral("path"), path}};
    return submit<QString>(QStringLiteral("process_record_file_path"), argument, path, &pathFromAnswer);
}

Utils::Promise<QHash<QString, QString>, QString>
Customizer::processOriginateParams(const QHash<QString, QString> &params)
{
    if (!programFound()) {
        Utils::Promise<QHash<QString, QString>, QString> promise;
        promise.resolve(params);
        return promise;
    }
    QJsonObject argument;
    for (auto it = params.constBegin(); it != params.constEnd(); ++it)
        argument.insert(it.key(), it.value());
    return submit<QHash<QString, QString>>(QStringLiteral("process_originate_params"), argument, params,
                                           &originateFromAnswer);
}

Utils::Promise<QJsonObject, QString> Customizer::processSearchParams(const QJsonObject &params)
{
    return submitWithAction(m_customizeSearchParams, QStringLiteral("process_search_params"), params);
}

Utils::Promise<QJsonObject, QString> Customizer::processFinalParams(const QJsonObject &params)
{
    return submitWithAction(m_customizeFinalParams, QStringLiteral("process_final_params"), params);
}

Utils::Promise<QJsonObject, QString> Customizer::processEntityCreationParams(const QJsonObject &params)
{
    return submitObject(m_customizeEntity, QStringLiteral("process_entity_creation_params"), params);
}

Utils::Promise<QJsonObject, QString> Customizer::processTaskAddParams(const QJsonObject &params)
{
    return submitObject(m_customizeTask, QStringLiteral("process_task_creation_params"), params);
}

Utils::Promise<QJsonObject, QString> Customizer::getCustomLeadParams(const QJsonObject &params)
{
    return submitObject(m_customizeEntity, QStringLiteral("get_updated_lead_fields"), params);
}

Utils::Promise<QJsonObject, QString> Customizer::getCustomActivityParams(const QJsonObject &params)
{
    return submitObject(m_customizeActivity, QStringLiteral("get_updated_activity_fields"), params);
}

QJsonObject Customizer::runHook(const RunSettings &settings, const QString &hookName, const QJsonObject &argument)
{
    if (settings.programPath.isEmpty())
        return QJsonObject{{QStringLiteral("state"), QStringLiteral("disabled")}};

    // Read as the script writes (the signals come during the waits below), so that neither output piles up
    // in memory however much the script writes, nor blocks the script on a full pipe: the error output is
    // kept up to its limit and counted past it, the answer dropped whole once it passes its own.
    QByteArray errorKept;
    qint64 errorDropped = 0;
    QByteArray answer;
    bool answerTooLong = false;
    // Declared after the buffers: its destructor may still read what the script wrote last.
    ScriptProcess process;
    const auto readError = [&process, &errorKept, &errorDropped]() {
        const QByteArray chunk = process.readAllStandardError();
        const int room = std::max(0, int(kCustomizerErrorKept) - errorKept.size());
        errorKept += chunk.left(room);
        errorDropped += std::max(0, chunk.size() - room);
    };
    const auto readAnswer = [&process, &answer, &answerTooLong]() {
        const QByteArray chunk = process.readAllStandardOutput();
        answerTooLong = answerTooLong || answer.size() + chunk.size() > kCustomizerAnswerLimit;
        if (answerTooLong)
            answer.clear();
        else
            answer += chunk;
    };
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, readError);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, readAnswer);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The service's own library path would make the operator's interpreter load our Qt and friends.
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    process.setProcessEnvironment(environment);
    // A script that reads its input must see the end of it at once, not wait for us until it times out.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProgram(settings.programPath);
    process.setArguments(
        {hookName, QString::fromUtf8(QJsonDocument(argument).toJson(QJsonDocument::Compact))});
    process.start(QIODevice::ReadOnly);

    qint64 group = 0;
    const auto failed = [&process, &group]() {
        logRunError(QStringLiteral("Customization Error: [%1]").arg(process.errorString()));
        if (process.state() != QProcess::NotRunning) {
            // Ended now rather than by the destructor, so no script outlives its run, nor anything it started.
            if (group > 0)
                ::kill(-pid_t(group), SIGKILL);
            process.kill();
            process.waitForFinished();
        }
        return QJsonObject();
    };
    if (!process.waitForStarted(int(settings.startTimeout.count())))
        return failed();
    group = process.processId();
    RunningHooks *running = settings.running.data();
    const bool finished =
        (!running || running->enter(group)) && process.waitForFinished(int(settings.runTimeout.count()));
    if (running)
        running->leave(group);
    if (!finished)
        return failed();
    // Killed by a signal: whatever it wrote is no answer.
    if (process.exitStatus() == QProcess::CrashExit)
        return failed();

    readError();
    readAnswer();

    if (process.exitCode() != 0) {
        QString text = QString::fromUtf8(errorKept);
        const int nul = text.indexOf(QChar(0));
        if (nul >= 0)
            text.truncate(nul);
        const QString dropped = errorDropped > 0
            ? QStringLiteral(" (%1 more bytes of its standard error dropped)").arg(errorDropped)
            : QString();
        logRunError(QStringLiteral("Customization Error [%1]: [%2]%3")
                        .arg(process.exitCode())
                        .arg(oneLine(text.trimmed()), dropped));
        return QJsonObject();
    }
    if (answerTooLong) {
        logRunError(QStringLiteral("Customization Error: [the answer on standard output passed %1 bytes]")
                        .arg(kCustomizerAnswerLimit));
        return QJsonObject();
    }

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(answer, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

} // namespace Orvix
