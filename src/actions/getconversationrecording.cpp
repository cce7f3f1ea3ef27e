#include "actions/getconversationrecording.h"

#include "config/manager.h"
#include "config/recordingsdirectory.h"
#include "httpserver/accessfailures.h"
#include "httpserver/staticfiles.h"

#include <QDebug>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>

namespace Orvix::Actions {

GetConversationRecording::GetConversationRecording(QObject *parent)
    : Action(QStringLiteral("/get_conversation_recording"), false, parent)
{
}

bool GetConversationRecording::isCallId(const QString &text)
{
    // "1700000000.42", optionally after the PBX's system name ("pbx1-1700000000.42").
    static const QRegularExpression pattern(QStringLiteral("^([A-Za-z0-9_]{1,64}-)?[0-9]{1,20}\\.[0-9]{1,10}\\z"));
    return pattern.match(text).hasMatch();
}

bool GetConversationRecording::isPhoneNumber(const QString &text)
{
    // Empty for a caller without a number.
    static const QRegularExpression pattern(QStringLiteral("^\\+?[0-9*#]{0,32}\\z"));
    return pattern.match(text).hasMatch();
}

QByteArray GetConversationRecording::contentTypeOf(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("wav") || suffix == QLatin1String("wav49"))
        return QByteArrayLiteral("audio/wav");
    if (suffix == QLatin1String("mp3"))
        return QByteArrayLiteral("audio/mpeg");
    if (suffix == QLatin1String("ogg"))
        return QByteArrayLiteral("audio/ogg");
    if (suffix == QLatin1String("gsm"))
        return QByteArrayLiteral("audio/x-gsm");
    return QByteArrayLiteral("application/octet-stream");
}

void GetConversationRecording::handle(const QJsonObject &params, Reply *reply)
{
    QString callId;
    QString from;
    QString to;
    if (!takeText(params, QStringLiteral("id"), reply, &callId)
        || !takeText(params, QStringLiteral("from"), reply, &from)
        || !takeText(params, QStringLiteral("to"), reply, &to))
        return;
    // The PBX link builds the recording query from these values.
    if (!isCallId(callId)) {
        reply->sendError(400, QStringLiteral("Malformed parameter: id"));
        return;
    }
    if (!isPhoneNumber(from) || !isPhoneNumber(to)) {
        reply->sendError(400, QStringLiteral("Malformed parameter: %1")
                                  .arg(isPhoneNumber(from) ? QStringLiteral("to") : QStringLiteral("from")));
        return;
    }

    const QPointer<Reply> guard(reply);
    const Utils::Promise<QString, Entities::RecordingFailure> promise;
    promise.onResolve([guard](const QString &path) {
        if (!guard)
            return;
        // Also a path that the customisation script gave: only recordings leave through this route.
        const QString directory = Config::recordingsDirectory();
        const QString file = HttpServer::StaticFiles::within(directory, path);
        if (file.isEmpty() || !QFileInfo(file).isReadable()) {
            if (file.isEmpty() && QFileInfo::exists(path))
                HttpServer::AccessFailures::record(
                    guard->clientAddress(),
                    QStringLiteral("Recording [%1] lies outside the recordings directory [%2]: refused").arg(path, directory));
            guard->sendError(404, QStringLiteral("Recording not found"));
            return;
        }
        guard->sendFile(file, contentTypeOf(path));
    });
    promise.onReject([guard](const Entities::RecordingFailure &failure) {
        if (!guard)
            return;
        if (failure.isMissing())
            guard->sendError(404, QStringLiteral("Recording not found"));
        else
            guard->sendError(503, QStringLiteral("Recording unavailable: ") + failure.reason);
    });
    Q_EMIT request(callId, from, to, promise);
}

} // namespace Orvix::Actions
