#pragma once

#include "actions/action.h"
#include "entities/recordingfailure.h"
#include "utils/promise.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_conversation_recording?id=&from=&to=&sig=: streams the recording file of a call. Public, since CRM
// activities link to it: the id must be an Asterisk unique id, the numbers phone numbers and the signature
// the one the service wrote into the link (Config::GeneratedDirectory::recordingSignature) before anything
// is asked of the PBX. Every refusal is the same 404; only a database that cannot be reached answers 503.
class GetConversationRecording : public Action
{
    Q_OBJECT

public:
    explicit GetConversationRecording(QObject *parent = nullptr);

    static bool isCallId(const QString &text);
    static bool isPhoneNumber(const QString &text);
    static QByteArray contentTypeOf(const QString &fileName);

Q_SIGNALS:
    void request(const QString &callId, const QString &from, const QString &to,
                 Utils::Promise<QString, Entities::RecordingFailure> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
