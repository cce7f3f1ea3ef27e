#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

namespace Orvix::CRM::Bitrix {

// The call events the CRM flow was handed and has not done yet, kept in a file beside the PBX link's
// state: after any stop each event read from CEL either has its CRM work here, or is read again. The
// file also holds the CEL position its events cover: an event of a row at or below it that the PBX link
// reads again (its own state written later than this file) is one of these, or done.
// The file is a journal of one record a line, so that a write costs what changed since the last one, not
// the whole backlog of a long CRM outage: the events handed over, the marks of those done and the
// position are appended and synced once per write; when the done records outweigh the kept ones, the
// kept ones are written aside into a fresh file, which is renamed into place. Readable by the service's
// user alone. Main thread only.
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
        // The line of the file, made once, and again when a register is sent: the only copy of its data.
        QByteArray record;

        // The call's or the conversation's JSON form, read from the record; empty for a transfer.
        QJsonObject data() const;
        // The register its work sent, as sent (see API::registerMemo); empty before one is sent.
        QJsonObject registered() const;
        // A member its work added to the record; undefined when it has none.
        QJsonValue member(QLatin1String key) const;
    };

    static Event make(quint64 sequence, Kind kind, const QString &callId, qint64 row, const QJsonObject &data,
                      const QDateTime &at = QDateTime::currentDateTimeUtc(),
                      const QJsonObject &registered = QJsonObject());
    static void setMember(Event *event, QLatin1String key, const QJsonValue &value);
    // Tells an event read again from its row apart from another event of the same row; an event of no row
    // (the end of a call the PBX lost) by its call, its kind and its leg.
    static QString key(qint64 row, Kind kind, const QString &callId, const QJsonObject &data);

    void setFilePath(const QString &path) { m_filePath = path; }
    QString filePath() const { return m_filePath; }

    // What the file holds, by sequence (the order they were handed over); nothing when there is no file or an
    // empty one. A file of the last build (one JSON object) is read as well; one that cannot be read is
    // reported and ignored. The next write starts a fresh file unless this one can simply grow. `rowless`:
    // the keys of the events of no row the file names, done or not.
    QMap<quint64, Event> load(qint64 *position, QSet<QString> *rowless = nullptr);
    // Appends the marks of the events done since the last write, the records of those `changed` since (a
    // later record of an event replaces its earlier one), those of `kept` after sequence `after` and the
    // position, and syncs them; writes the whole of `kept` into a fresh file instead when that is due. False
    // with why: what failed is written again, whole, by the next write.
    bool write(const QMap<quint64, Event> &kept, quint64 after, const QList<quint64> &changed,
               const QList<quint64> &done, qint64 position, QString *error);
    // The next write writes the whole of `kept` into a fresh file.
    bool isRewriteDue() const;
    // Leaves an empty file: nothing kept, no position.
    bool clear(QString *error);

private:
    bool rewrite(const QMap<quint64, Event> &kept, qint64 position, QString *error);

    QString m_filePath;
    // Event records in the file: of events still kept, and of done ones with the marks and positions.
    qint64 m_live = 0;
    qint64 m_dead = 0;
    // The file is missing, of the last build, cut short, or a write failed: the next write is a whole one.
    bool m_fresh = true;
};

} // namespace Orvix::CRM::Bitrix
