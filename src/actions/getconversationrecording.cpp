#include "actions/getconversationrecording.h"

#include "config/generateddirectory.h"
#include "config/manager.h"
#include "config/recordingsdirectory.h"
#include "httpserver/accessfailures.h"
#include "httpserver/staticfiles.h"
#include "utils/samesecret.h"

#include <QDebug>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>

namespace Orvix::Actions {

namespace {

// Every refusal reads the same, so that a client learns nothing of which ids exist or which calls are up.
const QString kNotFound = QStringLiteral("Recording not found");

} // namespace

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
    // Only a link the service wrote: no id or number can be guessed into one.
    QString signature;
    if (!takeOptionalText(params, Config::GeneratedDirectory::kSignatureParameter, reply, &signature))
        return;
    if (!Utils::sameSecret(signature, Config::GeneratedDirectory::recordingSignature(callId, from, to))) {
        HttpServer::AccessFailures::record(reply->clientAddress(),
                                           QStringLiteral("Recording link of call %1 from %2 refused: it does not "
                                                          "carry the service's signature")
                                               .arg(callId, reply->clientAddress().toString()));
        reply->sendError(404, kNotFound);
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
            guard->sendError(404, kNotFound);
            return;
        }
        guard->sendFile(file, contentTypeOf(path));
    });
    promise.onReject([guard, callId](const Entities::RecordingFailure &failure) {
        if (!guard)
            return;
        // Counted with the failed logins: clients that ask again and again write one line a minute.
        HttpServer::AccessFailures::record(guard->clientAddress(),
                                           QStringLiteral("Recording of call %1 asked by %2 not given: %3")
                                               .arg(callId, guard->clientAddress().toString(), failure.reason));
        // A call still up, a look-up that failed and an absence alike: only a database that cannot be
        // reached is told, and then at once, so that the client may come back. The PBX link words that
        // reason for a client: it names no address.
        if (failure.isUnreachable())
            guard->sendError(503, QStringLiteral("Recording unavailable: ") + failure.reason);
        else
            guard->sendError(404, kNotFound);
    });
    Q_EMIT request(callId, from, to, promise);
}

} // namespace Orvix::Actions
