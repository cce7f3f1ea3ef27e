#include "pbx/asterisk/actions/transfer.h"

#include "pbx/asterisk/actions/transfer_p.h"

#include <QDebug>

namespace Orvix::PBX::Asterisk::Actions {

namespace {
const QString kBlindHead = QStringLiteral("BlindTransfer");

Message transferRequest(const QString &channel, const QString &context, const QString &exten, bool blind)
{
    Message request(blind ? kBlindHead : QStringLiteral("Atxfer"), Message::Action);
    request.insert(QStringLiteral("Channel"), channel)
        .insert(QStringLiteral("Context"), context)
        .insert(QStringLiteral("Exten"), exten);
    return request;
}
} // namespace

TransferPrivate::TransferPrivate(const Message &request, bool blind)
    : GenericPrivate(request)
    , blind(blind)
{
}

void TransferPrivate::finish()
{
    if (blind)
        qDebug().noquote() << "Asterisk replied on blind transfer request:" << lastAnswerText();
    else
        qDebug().noquote() << "Asterisk replied on attended transfer request:" << lastAnswerText();
    if (lastAnswerSucceeded())
        result.resolve();
    else
        result.reject();
}

Transfer::Transfer(const QString &channel, const QString &context, const QString &exten, bool blind)
    : Generic(QSharedPointer<GenericPrivate>(new TransferPrivate(transferRequest(channel, context, exten, blind), blind)))
{
}

Transfer::Transfer(const Message &request)
    : Generic(QSharedPointer<GenericPrivate>(
          new TransferPrivate(request, request.headValue().compare(kBlindHead, Qt::CaseInsensitive) == 0)))
{
}

} // namespace Orvix::PBX::Asterisk::Actions
