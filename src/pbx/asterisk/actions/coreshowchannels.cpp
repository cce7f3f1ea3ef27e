#include "pbx/asterisk/actions/coreshowchannels.h"

#include "pbx/asterisk/actions/coreshowchannels_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

namespace {
bool isEvent(const Message &message, QLatin1String name)
{
    return message.type() == Message::Event && message.headValue().compare(name, Qt::CaseInsensitive) == 0;
}
} // namespace

CoreShowChannelsPrivate::CoreShowChannelsPrivate(const Message &request)
    : GenericPrivate(request)
{
}

bool CoreShowChannelsPrivate::isComplete(const Message &message)
{
    // An error answer starts no list.
    return isEvent(message, QLatin1String("CoreShowChannelsComplete"))
        || (responses.size() == 1 && message.type() == Message::Response && !lastAnswerSucceeded());
}

void CoreShowChannelsPrivate::finish()
{
    if (!lastAnswerSucceeded() && responses.size() == 1) {
        qDebug().noquote() << "Asterisk refused the channel list:" << lastAnswerText();
        result.reject();
        return;
    }
    QSet<QString> live;
    int entries = 0;
    for (const Message &message : qAsConst(responses)) {
        if (!isEvent(message, QLatin1String("CoreShowChannel")))
            continue;
        ++entries;
        for (const QLatin1String key : {QLatin1String("Uniqueid"), QLatin1String("Linkedid")}) {
            const QString id = message.fields().value(key);
            if (!id.isEmpty())
                live.insert(id);
        }
    }
    const QString listItems = responses.last().fields().value(QStringLiteral("ListItems"));
    if (listItems.toInt() != entries) {
        qDebug().noquote() << "Channel list count does not match:" << listItems << "vs" << entries;
        result.reject();
        return;
    }
    ids.resolve(live);
    result.resolve();
}

CoreShowChannels::CoreShowChannels()
    : CoreShowChannels(Message(QStringLiteral("CoreShowChannels"), Message::Action))
{
}

CoreShowChannels::CoreShowChannels(const Message &request)
    : Generic(QSharedPointer<GenericPrivate>(new CoreShowChannelsPrivate(request)))
{
}

void CoreShowChannels::onSuccess(std::function<void(QSet<QString>)> callback)
{
    static_cast<CoreShowChannelsPrivate *>(d.data())->ids.onResolve(std::move(callback));
}

} // namespace Orvix::PBX::Asterisk::Actions
