#include "pbx/asterisk/actions/originate.h"

#include "pbx/asterisk/actions/originate_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

namespace {
Message originateRequest(const QString &channel, const QString &context, const QString &exten,
                         const QString &callerId, const QString &priority, const QString &codecs,
                         const QString &variable)
{
    Message request(QStringLiteral("Originate"), Message::Action);
    request.insert(QStringLiteral("Channel"), channel)
        .insert(QStringLiteral("Context"), context)
        .insert(QStringLiteral("Exten"), exten)
        .insert(QStringLiteral("Callerid"), callerId)
        .insert(QStringLiteral("Priority"), priority);
    if (!codecs.isEmpty())
        request.insert(QStringLiteral("Codecs"), codecs);
    if (!variable.isEmpty())
        request.insert(QStringLiteral("Variable"), variable);
    return request;
}
} // namespace

void OriginatePrivate::finish()
{
    qDebug().noquote() << "Asterisk replied on originate request:" << lastAnswerText();
    if (lastAnswerSucceeded())
        result.resolve();
    else
        result.reject();
}

Originate::Originate(const QString &channel, const QString &context, const QString &exten, const QString &callerId,
                     const QString &priority, const QString &codecs, const QString &variable)
    : Originate(originateRequest(channel, context, exten, callerId, priority, codecs, variable))
{
}

Originate::Originate(const Message &request)
    : Generic(QSharedPointer<GenericPrivate>(new OriginatePrivate(request)))
{
}

} // namespace Orvix::PBX::Asterisk::Actions
