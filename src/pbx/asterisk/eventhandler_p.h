#pragma once

// What the parts of the call tracker share: its trace lines and the texts of its warnings. Included by its
// sources only.

#include "pbx/asterisk/event.h"
#include "utils/msgbuilder.h"

#include <QDebug>
#include <QString>

namespace Orvix::PBX::Asterisk::TrackerDetail {

inline QString traceText(const QString &id, Utils::MsgBuilder::TaskName task, Utils::MsgBuilder::TaskStatus status,
                         const QString &message)
{
    return Utils::MsgBuilder(id, task, Utils::MsgBuilder::NoChildTask).build(status, message);
}

inline void traceWarning(const QString &id, Utils::MsgBuilder::TaskName task, const QString &message)
{
    qWarning().noquote() << traceText(id, task, Utils::MsgBuilder::Warning, message);
}

inline void traceDebug(const QString &id, Utils::MsgBuilder::TaskName task, Utils::MsgBuilder::TaskStatus status,
                       const QString &message)
{
    qDebug().noquote() << traceText(id, task, status, message);
}

inline QString celText(const Event &event)
{
    return QString::number(event.id());
}

inline QString notRegisteredChannel(const Event &event)
{
    return QStringLiteral("Channel was not registered. CEL ID [%2]").arg(celText(event));
}

inline QString notRegisteredCall(const Event &event)
{
    return QStringLiteral("Call was not registered. CEL ID [%2]").arg(celText(event));
}

inline QString notRegisteredConversation(const QString &conversationId, const QString &callId,
                                         const QString &celId)
{
    return QStringLiteral("Conversation [%1] was not registered in call [%2]. CEL ID [%3]")
        .arg(conversationId, callId, celId);
}

inline QString identicalTransfer(const QString &callId, const QString &channelId, const QString &celId)
{
    return QStringLiteral("The source and destination of transfer are identical([%1]) in call [%2]. "
                          "CEL ID [%3]")
        .arg(callId, channelId, celId);
}

} // namespace Orvix::PBX::Asterisk::TrackerDetail
