// Recordings of calls: uploaded to the CRM call, or linked into the call's activity.

#include "crm/bitrix/connector.h"

#include "crm/bitrix/constants.h"
#include "utils/urlquery.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <utility>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;


// Appends the content as the Base64 of a form value: its "+", "/" and "=" percent-encoded, the rest as it is.
void appendBase64FormValue(QByteArray &body, const QByteArray &content)
{
    const QByteArray base64 = content.toBase64();
    body.reserve(body.size() + base64.size() + base64.size() / 16 + 8);
    for (const char c : base64) {
        if (c == '+')
            body.append("%2B");
        else if (c == '/')
            body.append("%2F");
        else if (c == '=')
            body.append("%3D");
        else
            body.append(c);
    }
}

// The portal shows the description as HTML (DESCRIPTION_TYPE 3). The link is escaped: it is built from
// caller numbers, and markup in a caller id must not reach the page as markup.
QString recordingMarkup(const QString &url)
{
    const QString link = url.toHtmlEscaped();
    return QStringLiteral(" <audio src=\"%1\" controls>%1</audio>").arg(link) + QStringLiteral("<br/><br/><br/>")
           + QStringLiteral("<a href=\"%1\" target=\"_blank\">Скачать запись</a>").arg(link);
}

constexpr int kHtmlDescription = 3;

void warnNoActivity(const MsgBuilder &attach, int activityId, const Utils::Promise<void> &result)
{
    qWarning().noquote() << attach.build(
        MsgBuilder::Warning,
        QStringLiteral("Failed to get activity to attach recording. ActivityId = %1").arg(activityId));
    result.reject();
}


// A WAV file that is its 44-byte header alone.
bool isSilentWav(const QByteArray &content)
{
    constexpr int kWavHeaderSize = 44;
    return content.size() == kWavHeaderSize && content.startsWith("RIFF") && content.mid(8, 4) == "WAVE";
}

} // namespace

QByteArray Connector::readRecordingFile(const QString &filePath)
{
    QFile file(filePath);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

Utils::Promise<void, RequestFailure> Connector::attachRecording(const QString &callId, const QString &filePath,
                                                                const MsgBuilder &msg)
{
    // Queued by its path alone: the file is read when the upload's turn comes, so owed recordings
    // waiting in their lane hold no memory.
    Utils::Promise<void, RequestFailure> result;
    enqueue(QString(kAttachRecord), QJsonObject{{QStringLiteral("CALL_ID"), callId}}, HttpClient::Request::Post, msg,
            false, filePath)
        .onResolve([result](const QJsonValue &) { result.resolve(); })
        .onReject([result](const RequestFailure &failure) { result.reject(failure); });
    return result;
}

bool Connector::takeRecording(const QSharedPointer<PendingRequest> &request, RequestFailure *nothing)
{
    const QString &filePath = request->filePath;
    QByteArray content = readRecordingFile(filePath);
    // A recording that is not sent: why goes into the log at the given level.
    const auto notAttached = [&request, nothing](QtMsgType level, const QString &why) {
        MsgBuilder attach = request->msg;
        attach.setChildTask(MsgBuilder::RecordingAttach);
        const QString line = attach.build(MsgBuilder::Warning, why);
        if (level == QtDebugMsg)
            qDebug().noquote() << line;
        else
            qWarning().noquote() << line;
        *nothing = RequestFailure{RequestFailure::Refused, false, why};
        return false;
    };
    if (content.isEmpty())
        return notAttached(QtWarningMsg, QStringLiteral("Recording file was not found: %1").arg(filePath));
    // What a call that was never answered leaves: a header without a single sample.
    if (isSilentWav(content))
        return notAttached(QtDebugMsg, QStringLiteral("Recording has no audio, not attached: %1").arg(filePath));

    // The low 32 bits of the time keep the name short; they still differ from one upload to the next.
    const auto stamp = static_cast<quint32>(QDateTime::currentMSecsSinceEpoch() & 0xFFFFFFFFLL);
    request->params.insert(QStringLiteral("FILENAME"),
                           QStringLiteral("%1-%2").arg(stamp).arg(QFileInfo(filePath).fileName()));
    request->content = std::move(content);
    return true;
}

QByteArray Connector::uploadBody(const QSharedPointer<PendingRequest> &request, const QJsonObject &params)
{
    // The first try takes what the turn read; a later one (a renewed token, the rate limit) reads again.
    QByteArray content = std::exchange(request->content, QByteArray());
    if (content.isEmpty())
        content = readRecordingFile(request->filePath);
    if (content.isEmpty()) {
        fail(request, RequestFailure::Refused,
             QStringLiteral("Recording file was not found: %1").arg(request->filePath));
        return QByteArray();
    }
    // Encoded straight into bytes: a QString of the Base64 would take twice its room again.
    QByteArray body = Utils::jsonToUrlQuery(params);
    body.append("&FILE_CONTENT=");
    appendBase64FormValue(body, content);
    return body;
}

Utils::Promise<void> Connector::attachRecordingUrl(int activityId, const QString &url, const MsgBuilder &msg)
{
    Utils::Promise<void> result;
    if (url.isEmpty()) {
        result.reject();
        return result;
    }

    MsgBuilder attach = msg;
    attach.setChildTask(MsgBuilder::RecordingAttach);
    const QPointer<Connector> self(this);
    getActivity(activityId, msg)
        .onResolve([self, result, url, attach, activityId](const Activity &activity) {
            if (!self)
                return result.reject();
            // The portal answers an empty list for an activity that is gone.
            if (activity.id() < 1)
                return warnNoActivity(attach, activityId, result);
            const QJsonObject fields{
                {QStringLiteral("DESCRIPTION"), activity.description() + recordingMarkup(url)},
                {QStringLiteral("DESCRIPTION_TYPE"), kHtmlDescription},
            };
            self->updateActivity(activity.id(), fields, attach).proxyTo(result);
        })
        .onReject([result, activityId, attach]() { warnNoActivity(attach, activityId, result); });
    return result;
}

} // namespace Orvix::CRM::Bitrix
