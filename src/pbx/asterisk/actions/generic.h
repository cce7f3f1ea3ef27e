#pragma once

#include "pbx/asterisk/message.h"

#include <QSharedPointer>

#include <functional>

namespace Orvix::PBX::Asterisk::Actions {

class GenericPrivate;

// One AMI request with the logic that collects its answers and judges them. A shared handle:
// the copy kept by the connector and the caller's copy are the same action. Main thread only.
class Generic
{
public:
    explicit Generic(const Message &request);
    virtual ~Generic();

    // Callbacks run once, in registration order, when the action settles; registered after
    // settlement, a matching one runs at once.
    virtual void onSuccess(std::function<void()> callback);
    virtual void onError(std::function<void()> callback);
    // As onError, with why it failed: the Message of Asterisk's answer, or why it was never answered.
    void onFailure(std::function<void(const QString &reason)> callback);

    Message message() const;
    // 0 while no decisive response came, 2 after "Success", 3 after "Error".
    int status() const;
    // A received message carrying this action's ActionID.
    void handle(const Message &message);
    // Fails the action without an answer: it could not be sent, or its connection is gone (`why`).
    void abort(const QString &why = QString());
    // Whether any message answered this action.
    bool isAnswered() const;
    // Whether this action takes a received event that carries no ActionID. Asterisk leaves the
    // ActionID out of the entries of some lists (the IAX peer list does).
    bool takesUnaddressedEvent(const Message &message) const;

protected:
    explicit Generic(QSharedPointer<GenericPrivate> d);

    QSharedPointer<GenericPrivate> d;
};

} // namespace Orvix::PBX::Asterisk::Actions
