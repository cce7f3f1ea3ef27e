#include "pbx/asterisk/actions/hangup.h"

#include "pbx/asterisk/actions/hangup_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

void HangupPrivate::finish()
{
    qDebug().noquote() << "Asterisk replied on hangup request:" << lastAnswerText();
    if (lastAnswerSucceeded())
        result.resolve();
    else
        result.reject();
}

Hangup::Hangup(const QString &channel)
    : Hangup(Message(QStringLiteral("Hangup"), Message::Action).insert(QStringLiteral("Channel"), channel))
{
}

Hangup::Hangup(const Message &request)
    : Generic(QSharedPointer<GenericPrivate>(new HangupPrivate(request)))
{
}

} // namespace Orvix::PBX::Asterisk::Actions
