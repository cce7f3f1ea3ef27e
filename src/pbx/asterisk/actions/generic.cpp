#include "pbx/asterisk/actions/generic.h"

#include "pbx/asterisk/actions/generic_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

GenericPrivate::GenericPrivate(const Message &request)
    : request(request)
{
}

GenericPrivate::~GenericPrivate() = default;

bool GenericPrivate::isComplete(const Message &)
{
    return true;
}

void GenericPrivate::updateStatus(const Message &message)
{
    if (status >= 2 || message.type() != Message::Response)
        return;
    if (message.headValue() == QLatin1String("Success"))
        status = 2;
    else if (message.headValue() == QLatin1String("Error"))
        status = 3;
}

void GenericPrivate::finish()
{
    QString text;
    for (const Message &response : qAsConst(responses))
        text += response.toString();
    qDebug().noquote() << "Asterisk replied on request" << text;
    result.resolve();
}

bool GenericPrivate::takesUnaddressedEvent(const Message &) const
{
    return false;
}

bool GenericPrivate::lastAnswerSucceeded() const
{
    return !responses.isEmpty() && responses.last().headValue().toUpper() == QLatin1String("SUCCESS");
}

QString GenericPrivate::lastAnswerText() const
{
    return responses.isEmpty() ? QString() : responses.last().fields().value(QStringLiteral("Message"));
}

QString GenericPrivate::failureText() const
{
    if (responses.isEmpty())
        return abortReason.isEmpty() ? QStringLiteral("Asterisk did not answer") : abortReason;
    const QString text = lastAnswerText();
    return text.isEmpty() ? QStringLiteral("Asterisk refused the action") : text;
}

Generic::Generic(const Message &request)
    : d(new GenericPrivate(request))
{
}

Generic::Generic(QSharedPointer<GenericPrivate> d)
    : d(std::move(d))
{
}

Generic::~Generic() = default;

void Generic::onSuccess(std::function<void()> callback)
{
    d->result.onResolve(std::move(callback));
}

void Generic::onError(std::function<void()> callback)
{
    d->result.onReject(std::move(callback));
}

void Generic::onFailure(std::function<void(const QString &reason)> callback)
{
    // Weak: the callback is kept by the action's own state.
    const QWeakPointer<GenericPrivate> weak = d;
    d->result.onReject([weak, callback = std::move(callback)]() {
        const QSharedPointer<GenericPrivate> strong = weak.toStrongRef();
        callback(strong ? strong->failureText() : QStringLiteral("Asterisk did not answer"));
    });
}

Message Generic::message() const
{
    return d->request;
}

int Generic::status() const
{
    return d->status;
}

void Generic::handle(const Message &message)
{
    d->responses.append(message);
    d->updateStatus(message);
    if (d->isComplete(message)) {
        d->finished = true;
        d->finish();
    }
}

void Generic::abort(const QString &why)
{
    d->finished = true;
    d->abortReason = why;
    d->result.reject();
}

bool Generic::isAnswered() const
{
    return !d->responses.isEmpty();
}

bool Generic::takesUnaddressedEvent(const Message &message) const
{
    return !d->finished && d->takesUnaddressedEvent(message);
}

} // namespace Orvix::PBX::Asterisk::Actions
