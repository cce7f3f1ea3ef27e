// Recordings of calls: uploaded to the CRM call, or linked into the call's activity.

#include "crm/bitrix/connector.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;

} // namespace

QByteArray Connector::readRecordingFile(const QString &filePath)
{
    QFile file(filePath);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

Utils::Promise<void> Connector::attachRecording(const QString &callId, const QString &filePath,
                                                const MsgBuilder &msg)
{
    Utils::Promise<void> result;
    const QByteArray content = readRecordingFile(filePath);
    if (content.isEmpty()) {
        MsgBuilder attach = msg;
        attach.setChildTask(MsgBuilder::RecordingAttach);
        qWarning().noquote() << attach.build(MsgBuilder::Warning,
                                             QStringLiteral("Recording file was not found: %1").arg(filePath));
        result.reject();
        return result;
    }

    // The low 32 bits of the time keep the name short; they still differ from one upload to the next.
    const auto stamp = static_cast<quint32>(QDateTime::currentMSecsSinceEpoch() & 0xFFFFFFFFLL);
    const QJsonObject params{
        {QStringLiteral("CALL_ID"), callId},
        {QStringLiteral("FILENAME"), QStringLiteral("%1-%2").arg(stamp).arg(QFileInfo(filePath).fileName())},
        {QStringLiteral("FILE_CONTENT"), QString::fromLatin1(content.toBase64())},
    };
    run(QStringLiteral("telephony.externalcall.attachRecord"), params, HttpClient::Request::Post, msg)
        .onResolve([result](const QJsonValue &) { result.resolve(); })
        .onReject([result]() { result.reject(); });
    return result;
}

} // namespace Orvix::CRM::Bitrix
