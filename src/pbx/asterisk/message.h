#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QUuid>

namespace Orvix::PBX::Asterisk {

// One message of the Asterisk Manager Interface: an action we send, or a response or event we receive.
// A plain value, used on the main thread.
class Message
{
public:
    enum Type : qint32 {
        None = 0,
        Wrong = 1,
        Action = 2,
        Response = 3,
        Event = 4,
    };

    // The only line separator of the protocol; an empty line closes a frame.
    static const QString linesSeparator;

    Message() = default;
    // A message to send: a fresh random ActionID and no fields.
    Message(const QString &headValue, Type type);
    // Parses one received frame (the bytes up to and including its empty line).
    explicit Message(QByteArray frame);

    Type type() const { return m_type; }
    QString typeName() const { return typeName(m_type); }
    static QString typeName(Type type);
    QUuid actionId() const { return m_actionId; }
    QString headValue() const { return m_headValue; }
    QMap<QString, QString> fields() const { return m_fields; }
    bool isValid() const { return m_type > Wrong; }

    Message &insert(const QString &key, const QString &value);

    QByteArray toByteArray() const;
    // Log form; never used for the wire.
    QString toString() const;
    QJsonObject toJson() const;

    // Empty when the message is safe to write; otherwise why it is not. CR, LF or NUL in the head,
    // a key or a value would let the text end the line and start a manager command of its own.
    QString unsafeReason() const;

private:
    Type m_type = None;
    QUuid m_actionId;
    QString m_headValue;
    QMap<QString, QString> m_fields;
};

} // namespace Orvix::PBX::Asterisk
