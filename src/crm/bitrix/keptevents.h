#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace Orvix::CRM::Bitrix {

// The call events the CRM flow was handed and has not done yet, kept in a file beside the PBX link's
// state: after any stop each event read from CEL either has its CRM work here, or is read again. The
// file also holds the CEL position its events cover: an event of a row at or below it that the PBX link
// reads again (its own state written later than this file) is one of these, or done. Written whole, aside
// and renamed, readable by the service's user alone. Main thread only.
class KeptEvents
{
public:
    enum class Kind { CallStarted, ConversationRequested, ConversationAccepted, ConversationEnded, CallEnded,
                      CallTransferred };
    struct Event
    {
        quint64 sequence = 0;
        Kind kind = Kind::CallStarted;
        QString callId;
        qint64 row = 0; // the CEL row that made it; 0 when none did
        QDateTime at;   // when it was handed over, UTC
        QJsonObject data; // the call's or the conversation's JSON form; empty for a transfer
        // The register its work sent, as sent (see API::registerMemo); empty before one is sent.
        QJsonObject registered;
        QByteArray text; // the record as the file holds it, made once, and again when a register is sent

        // Tells an event read again from its row apart from another event of the same row.
        QString key() const;
    };

    static Event make(quint64 sequence, Kind kind, const QString &callId, qint64 row, const QJsonObject &data);
    static void setRegistered(Event *event, const QJsonObject &registered);

    void setFilePath(const QString &path) { m_filePath = path; }
    QString filePath() const { return m_filePath; }

    // What the file holds, in the order the events were handed over; nothing when there is no file. A file
    // that cannot be read is reported and ignored.
    QList<Event> load(qint64 *position) const;
    bool save(qint64 position, const QList<Event> &events) const;

private:
    QString m_filePath;
};

} // namespace Orvix::CRM::Bitrix
