#pragma once

#include "utils/promise.h"

#include <QHash>
#include <QJsonObject>
#include <QSharedPointer>
#include <QString>

#include <chrono>

namespace Orvix {

// How long a customisation script may take to start before its run counts as failed.
inline constexpr std::chrono::milliseconds kCustomizerStartTimeout{500};
// What the log keeps of a failed run's standard error; the rest is read and dropped, and counted.
inline constexpr int kCustomizerErrorKept = 64 * 1024;
// An answer is one JSON object of a phone, a path or the fields of one CRM request: kilobytes. Past this
// the run fails; runs go on in parallel on the pool, each holding its answer and its parsed form.
inline constexpr int kCustomizerAnswerLimit = 1024 * 1024;

// Lets the operator's own program rewrite, keep or refuse the service's data at fixed points (the
// hooks). Each hook runs the program once, with the hook name and the data as compact JSON, and reads
// one JSON answer from its standard output.
//
// A plain value held by the App. Hooks and settings are called on the main thread; each run of the
// program takes one thread of Qt's global pool and settles the hook's promise from there, so the
// promise's callbacks come back on the thread that registered them. Destroying the customizer waits
// for the runs it started.
class Customizer
{
    struct RunningHooks;

public:
    // What one run of the program needs, copied when a hook is submitted so that a concurrent
    // updateSettings never races the pool thread.
    struct RunSettings
    {
        QString programPath;
        std::chrono::milliseconds startTimeout = kCustomizerStartTimeout;
        std::chrono::milliseconds runTimeout{1000};
        // The customizer's runs, which a stop ends; none for a run of its own.
        QSharedPointer<RunningHooks> running;
    };

    // A program path that names nothing is said once ("customisation off: <path> not found"); its hooks
    // then answer with their input, as without a program, until a program is there at that path.
    Customizer(const QString &programPath, int timeoutMsec, bool customizeSearchParams, bool customizeFinalParams,
               bool customizeEntity, bool customizeActivity, bool customizeTask);
    ~Customizer();
    Customizer(const Customizer &) = delete;
    Customizer &operator=(const Customizer &) = delete;

    void updateSettings(const QString &programPath, int timeoutMsec, bool customizeSearchParams,
                        bool customizeFinalParams, bool customizeEntity, bool customizeActivity, bool customizeTask);
    // Only tests shorten it; the service keeps the default.
    void setStartTimeout(std::chrono::milliseconds timeout) { m_startTimeout = timeout; }

    Utils::Promise<QString, QString> processPhoneNumber(const QString &phone);
    Utils::Promise<QString, QString> processRecordFilePath(const QString &callId, const QString &from,
                                                           const QString &to, const QString &path);
    Utils::Promise<QHash<QString, QString>, QString> processOriginateParams(const QHash<QString, QString> &params);
    Utils::Promise<QJsonObject, QString> processSearchParams(const QJsonObject &params);
    Utils::Promise<QJsonObject, QString> processFinalParams(const QJsonObject &params);
    Utils::Promise<QJsonObject, QString> processEntityCreationParams(const QJsonObject &params);
    Utils::Promise<QJsonObject, QString> processTaskAddParams(const QJsonObject &params);
    Utils::Promise<QJsonObject, QString> getCustomLeadParams(const QJsonObject &params);
    Utils::Promise<QJsonObject, QString> getCustomActivityParams(const QJsonObject &params);

    // Blocks until every run started through this customizer has settled its promise.
    void waitForRunningHooks();
    // A stop of the service: every running script is ended now with everything it started, and one run later is
    // ended as it starts (its hook fails), so that the stop never waits for a script's time-out.
    void stop();

    // Runs the program once and gives back its answer: empty when the run failed (not started, timed
    // out, crashed, non-zero exit, output that is not one JSON object). Blocks the calling thread.
    static QJsonObject runHook(const RunSettings &settings, const QString &hookName, const QJsonObject &argument);

private:
    template <typename T>
    Utils::Promise<T, QString> submit(const QString &hookName, const QJsonObject &argument, const T &input,
                                      T (*success)(const QJsonObject &answer, const T &input));
    Utils::Promise<QJsonObject, QString> submitObject(bool enabled, const QString &hookName,
                                                      const QJsonObject &params);
    Utils::Promise<QJsonObject, QString> submitWithAction(bool enabled, const QString &hookName,
                                                          const QJsonObject &params);

    // Whether the program is there; said when the path changes.
    void findProgram(const QString &previousPath);
    bool programFound();

    QString m_programPath;
    bool m_programFound = false;
    int m_timeoutMsec;
    bool m_customizeSearchParams;
    bool m_customizeFinalParams;
    bool m_customizeEntity;
    bool m_customizeActivity;
    bool m_customizeTask;
    std::chrono::milliseconds m_startTimeout = kCustomizerStartTimeout;
    QSharedPointer<RunningHooks> m_running;
};

} // namespace Orvix
