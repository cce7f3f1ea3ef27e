#pragma once

#include "pbx/asterisk/message.h"
#include "utils/promise.h"

#include <QList>

namespace Orvix::PBX::Asterisk::Actions {

// State shared by the copies of one action handle; derived actions judge their answers in finish().
class GenericPrivate
{
public:
    explicit GenericPrivate(const Message &request);
    virtual ~GenericPrivate();

    virtual bool isComplete(const Message &message);
    virtual void updateStatus(const Message &message);
    virtual void finish();
    virtual bool takesUnaddressedEvent(const Message &message) const;

    // True when the head of the last collected answer is "Success" in any case.
    bool lastAnswerSucceeded() const;
    // The "Message" field of the last collected answer.
    QString lastAnswerText() const;
    // Why the action failed, in words.
    QString failureText() const;

    int status = 0;
    Message request;
    QList<Message> responses;
    Utils::Promise<void> result;
    bool finished = false;
    QString abortReason;
};

} // namespace Orvix::PBX::Asterisk::Actions
