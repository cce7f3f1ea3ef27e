#include "pbx/asterisk/actions/peerlist.h"

#include "pbx/asterisk/actions/peerlist_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

namespace {
bool isListEnd(const Message &message)
{
    return message.type() == Message::Event && message.headValue().toUpper() == QLatin1String("PEERLISTCOMPLETE");
}

bool isFailure(const Message &message)
{
    return message.type() == Message::Response && message.headValue().toUpper() == QLatin1String("ERROR");
}
} // namespace

PeerListPrivate::PeerListPrivate(const Message &request, const QString &kind)
    : GenericPrivate(request)
    , kind(kind)
{
}

bool PeerListPrivate::isComplete(const Message &message)
{
    // An error answer starts no list: without ending here the action would wait for ever.
    return isListEnd(message) || (responses.size() == 1 && isFailure(message));
}

bool PeerListPrivate::takesUnaddressedEvent(const Message &message) const
{
    // Only while our list is open: after our own answer and before its end.
    return status == 2 && message.type() == Message::Event
        && message.headValue().toUpper() == QLatin1String("PEERENTRY");
}

void PeerListPrivate::finish()
{
    if (responses.size() == 1 && isFailure(responses.first())) {
        qDebug().noquote() << "Asterisk refused the" << kind << "peer list:" << lastAnswerText();
        result.reject();
        return;
    }

    QSet<QString> names;
    int entries = 0;
    for (int i = 1; i < responses.size() - 1; ++i) {
        const Message &entry = responses.at(i);
        if (entry.type() != Message::Event)
            continue;
        ++entries;
        const QString name = entry.fields().value(QStringLiteral("ObjectName"));
        // A nameless entry names no number.
        if (!name.isEmpty())
            names.insert(name);
    }
    const QString listItems = responses.last().fields().value(QStringLiteral("ListItems"));
    bool isNumber = false;
    int count = listItems.toInt(&isNumber, 10);
    if (!isNumber)
        count = 0;
    // The count is that of the entries: a list that lost entries on the way is not trusted.
    if (count != entries) {
        qDebug().noquote() << QStringLiteral("%1 peers count does not match with Asterisk pattern:").arg(kind)
                           << listItems << "vs" << entries;
        names.clear();
    }
    peers.resolve(names);
    result.resolve();
}

void PeerList::onSuccess(std::function<void(QSet<QString>)> callback)
{
    static_cast<PeerListPrivate *>(d.data())->peers.onResolve(std::move(callback));
}

} // namespace Orvix::PBX::Asterisk::Actions
