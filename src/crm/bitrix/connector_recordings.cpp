// Recordings of calls: uploaded to the CRM call, or linked into the call's activity.

#include "crm/bitrix/connector.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;

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
    const QByteArray content = readRecordingFile(filePath);
    Utils::Promise<void, RequestFailure> result;
    // A recording that is not sent: why goes into the log at the given level, and the promise rejects.
    const auto notAttached = [&msg, &result](QtMsgType level, const QString &why) {
        MsgBuilder attach = msg;
        attach.setChildTask(MsgBuilder::RecordingAttach);
        const QString line = attach.build(MsgBuilder::Warning, why);
        if (level == QtDebugMsg)
            qDebug().noquote() << line;
        else
            qWarning().noquote() << line;
        result.reject(RequestFailure{RequestFailure::Refused, false, why});
        return result;
    };
    if (content.isEmpty())
        return notAttached(QtWarningMsg, QStringLiteral("Recording file was not found: %1").arg(filePath));
    // What a call that was never answered leaves: a header without a single sample.
    if (isSilentWav(content))
        return notAttached(QtDebugMsg, QStringLiteral("Recording has no audio, not attached: %1").arg(filePath));

    // The low 32 bits of the time keep the name short; they still differ from one upload to the next.
    const auto stamp = static_cast<quint32>(QDateTime::currentMSecsSinceEpoch() & 0xFFFFFFFFLL);
    const QJsonObject params{
        {QStringLiteral("CALL_ID"), callId},
        {QStringLiteral("FILENAME"), QStringLiteral("%1-%2").arg(stamp).arg(QFileInfo(filePath).fileName())},
        {QStringLiteral("FILE_CONTENT"), QString::fromLatin1(content.toBase64())},
    };
    runWithReason(QStringLiteral("telephony.externalcall.attachRecord"), params, HttpClient::Request::Post, msg)
        .onResolve([result](const QJsonValue &) { result.resolve(); })
        .onReject([result](const RequestFailure &failure) { result.reject(failure); });
    return result;
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
