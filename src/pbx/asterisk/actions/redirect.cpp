#include "pbx/asterisk/actions/redirect.h"

#include "pbx/asterisk/actions/redirect_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

void RedirectPrivate::finish()
{
    qDebug().noquote() << "Asterisk replied on redirect request" << lastAnswerText();
    if (lastAnswerSucceeded())
        result.resolve();
    else
        result.reject();
}

Redirect::Redirect(const QString &channel, const QString &context, const QString &exten, const QString &priority)
    : Redirect(Message(QStringLiteral("Redirect"), Message::Action)
                   .insert(QStringLiteral("Channel"), channel)
                   .insert(QStringLiteral("Context"), context)
                   .insert(QStringLiteral("Exten"), exten)
                   .insert(QStringLiteral("Priority"), priority))
{
}

Redirect::Redirect(const Message &request)
    : Generic(QSharedPointer<GenericPrivate>(new RedirectPrivate(request)))
{
}

} // namespace Orvix::PBX::Asterisk::Actions
