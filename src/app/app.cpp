#include "app/app.h"

#include "entities/call.h"
#include "entities/conversation.h"
#include "entities/telephonyeventloghandler.h"
#include "utils/logger.h"
#include "utils/msgbuilder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>

namespace Orvix {

namespace {
void logTrace(const QString &callId, Utils::MsgBuilder::TaskName task, const QString &message)
{
    const Utils::MsgBuilder builder(callId, task, Utils::MsgBuilder::NoChildTask);
    qInfo().noquote() << builder.build(Utils::MsgBuilder::Start, message);
}
} // namespace

App::App(QObject *parent, const QString &overrideEventsSql, Config::Manager &config)
    : QObject(parent)
    , m_config(config)
    , m_pbx(this, config)
    , m_overrideEventsSql(overrideEventsSql)
    , m_customizer(config.getString(Config::Manager::App, QStringLiteral("customizer_program_path")),
                   config.getInt(Config::Manager::App, QStringLiteral("customization_time_msec")),
                   config.getBool(Config::Manager::App, QStringLiteral("customize_search_params")),
                   config.getBool(Config::Manager::App, QStringLiteral("customize_final_params")),
                   config.getBool(Config::Manager::App, QStringLiteral("customize_entity")),
                   config.getBool(Config::Manager::App, QStringLiteral("customize_activity")),
                   config.getBool(Config::Manager::App, QStringLiteral("customize_task")))
{
    // Log rotation moves the file away: follow the directory of our own log file and reopen.
    const QString logDirectory = QFileInfo(Utils::Logger::getLogFileName()).absolutePath();
    if (QFileInfo::exists(logDirectory))
        m_logDirectoryWatcher.addPath(logDirectory);
    connect(&m_logDirectoryWatcher, &QFileSystemWatcher::directoryChanged, this, &App::onDirectoryChanged);

    connect(&m_pbx, &PBX::Asterisk::API::started, this, &App::onPBXStart);
    connect(&m_pbx, &PBX::Asterisk::API::callStarted, this, &App::onCallStart);
    connect(&m_pbx, &PBX::Asterisk::API::conversationRequested, this, &App::onConversationRequest);
    connect(&m_pbx, &PBX::Asterisk::API::conversationAccepted, this, &App::onConversationAccept);
    connect(&m_pbx, &PBX::Asterisk::API::conversationEnded, this, &App::onConversationEnd);
    connect(&m_pbx, &PBX::Asterisk::API::callEnded, this, &App::onCallEnd);
    connect(&m_pbx, &PBX::Asterisk::API::originateCustomizationRequest, this,
            &App::onOriginateCustomizationRequest);
    connect(&m_pbx, &PBX::Asterisk::API::shouldStop, this, &App::onPBXStopped);

    Entities::TelephonyEventLogHandler::instance();
}

App::~App() = default;

void App::start()
{
    qInfo().noquote() << "Start application";
    QDir().mkpath(generatedPath(QString()));
    run();
}

void App::run()
{
    if (m_started) {
        qDebug() << QStringLiteral("Attempting to re-run. Ignore.");
        return;
    }
    m_started = true;
    qInfo() << QStringLiteral("The application is running.");
    // The CRM link is not part of this build yet: the PBX link starts as soon as the App runs.
    onCRMStart();
}

void App::stop()
{
    m_started = false;
    m_pbx.stop();
}

void App::clean()
{
    // Nothing is bound in the CRM by this build, so the clean run goes straight to its end.
    onUnbindEnded();
}

void App::onCRMStart()
{
    m_pbx.start();
    if (!m_overrideEventsSql.isEmpty())
        m_pbx.setEventsSql(m_overrideEventsSql);
}

void App::onPBXStart()
{
    m_pbxStarted.resolve(true);
}

QString App::callStartMessage(const Entities::Call &call)
{
    QString direction;
    QString number;
    switch (call.type()) {
    case Entities::CallType::Incoming:
        direction = QStringLiteral("Incoming");
        number = call.from();
        break;
    case Entities::CallType::Outgoing:
        direction = QStringLiteral("Outgoing");
        number = call.to();
        break;
    default:
        direction = QStringLiteral("Local");
        number = call.to();
        break;
    }
    return QStringLiteral("%1 call started [%2] to the number [%3] through the trunk [%4]")
        .arg(direction, call.id(), number, call.trunk());
}

void App::onCallStart(const Entities::Call &call)
{
    logTrace(call.id(), Utils::MsgBuilder::CallStarted, callStartMessage(call));
}

void App::onConversationRequest(const Entities::Conversation &conversation)
{
    logTrace(conversation.callId(), Utils::MsgBuilder::ConversationRequested, conversation.toJsonString());
}

void App::onConversationAccept(const Entities::Conversation &conversation)
{
    logTrace(conversation.callId(), Utils::MsgBuilder::ConversationAccepted, conversation.toJsonString());
}

void App::onConversationEnd(const Entities::Conversation &conversation)
{
    logTrace(conversation.callId(), Utils::MsgBuilder::ConversationEnded, conversation.toJsonString());
}

void App::onCallEnd(const Entities::Call &call)
{
    logTrace(call.id(), Utils::MsgBuilder::CallEnded, call.toJsonString());
}

void App::onOriginateCustomizationRequest(const QHash<QString, QString> &params,
                                          Utils::Promise<QHash<QString, QString>, QString> promise)
{
    // A refusal goes back as it is: the PBX link then originates with its own parameters.
    m_customizer.processOriginateParams(params)
        .onResolve([promise](const QHash<QString, QString> &customized) { promise.resolve(customized); })
        .onReject([promise](const QString &reason) { promise.reject(reason); });
}

void App::onUnbindEnded()
{
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QMap<QString, QString> errors =
        m_config.update(QJsonObject{{QStringLiteral("App"), QJsonObject{{QStringLiteral("history_start_date"), now}}}});
    for (auto it = errors.cbegin(); it != errors.cend(); ++it)
        qWarning().noquote() << "Cannot save the configuration:" << it.key() << it.value();

    for (const QString &name : {QStringLiteral("token.json"), QStringLiteral("state.json")}) {
        QFile file(generatedPath(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.close();
    }
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
}

void App::onDirectoryChanged(const QString &path)
{
    qDebug() << QStringLiteral("Directory %1 was changed").arg(path);
    Utils::Logger::reopen();
}

void App::onPBXStopped(const QString &reason)
{
    m_pbxStarted.reject(QJsonObject{{QStringLiteral("error"), QStringLiteral("ERROR_PBX_RECONNECTION")}});
    scheduleRestart(reason);
}

void App::scheduleRestart(const QString &reason)
{
    qInfo() << "Should restart. Reason: " + reason;
    if (!m_started) {
        qInfo() << QStringLiteral("Already is about to restart");
        return;
    }
    stop();
    QTimer::singleShot(m_restartDelay, this, &App::run);
    qInfo() << QStringLiteral("Restart after %1 minutes").arg(double(m_restartDelay.count()) / 1000 / 60);
}

QString App::generatedPath(const QString &fileName) const
{
    // The PBX link and the token store keep their files beside the executable, whatever the working directory.
    QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/generated")
                   + m_config.getString(Config::Manager::App, QStringLiteral("generated_postfix"));
    if (!fileName.isEmpty())
        path += QLatin1Char('/') + fileName;
    return path;
}

} // namespace Orvix
