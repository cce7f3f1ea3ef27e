#pragma once

#include "crm/bitrix/keptevents.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>

namespace Orvix::CRM::Bitrix {

// The bookkeeping of the call events the CRM flow keeps until their work is done, over their file
// (KeptEvents): the events handed over and not done yet, those a stop cut short, what the file holds and
// what changed since it was written, the CEL position it covers, and the rows a start reads again after a
// stop (its events kept already, or done). It knows nothing of the portal: the CRM API runs the events.
// Main thread only; owned by the CRM API.
class EventJournal
{
public:
    using Event = KeptEvents::Event;
    using Kind = KeptEvents::Kind;

    EventJournal();

    // Fixed at the first call; the generated directory is set before the CRM side starts.
    void useFilePath(const QString &path);
    QString filePath() const { return m_file.filePath(); }
    // A debug run over chosen CEL rows: the production run's file is neither read nor written, and no row is
    // taken for one read again.
    void setDebugReplay(bool on) { m_debugReplay = on; }
    // What the events' stages changed elsewhere (their calls' facts), written by each write after the records of
    // what they read and before the marks of those done: `pending` says whether there is any, `save` writes it.
    void setBeforeMarks(std::function<bool()> pending, std::function<void()> save)
    {
        m_marksPending = std::move(pending);
        m_beforeMarks = std::move(save);
    }

    // Once a process: what a previous run kept, every event cut short, to go again first of its call.
    void load();
    // A call event handed over, stamped `at` on the PBX's clock: its sequence, or 0 when it was handed over
    // before the stop already (its row read again, or the same end of a call the PBX lost).
    quint64 add(Kind kind, const QString &callId, qint64 row, const QJsonObject &data, const QDateTime &at);

    bool contains(quint64 sequence) const { return m_kept.contains(sequence); }
    Event event(quint64 sequence) const { return m_kept.value(sequence); }
    const QMap<quint64, Event> &events() const { return m_kept; }
    bool hasCall(const QString &callId) const;
    // The newest PBX time the events hold, invalid without any: the PBX's clock is no earlier.
    QDateTime newestStamp() const;
    // A member of the event's record, such as the register its work sent or the facts its stage read; written
    // with the next write.
    void setMember(quint64 sequence, QLatin1String key, const QJsonValue &value);

    // Its work done or given up: it leaves the file with a write in a second at the latest.
    void drop(quint64 sequence);
    // Cut short by a stop: it goes again, first of its call, at the next start.
    void cut(quint64 sequence);
    // The call's events cut short before `upTo` (all of them when 0), in their order, taken out.
    QList<quint64> takeCut(const QString &callId, quint64 upTo);
    // The calls with events cut short, each by the last of them.
    QMap<quint64, QString> cutCalls() const;

    // The PBX link is about to save its state at this CEL position: the file covers it first. False when it
    // could not be written.
    bool coverUpTo(qint64 position);
    // Writes what changed since the last write; false, said once an outage, when it could not.
    bool write();
    // Writes the records of the events (a register about to be sent); the marks may wait for the next write.
    bool writeRecords();
    // A clean run: nothing of the calls before it is done; the file is left empty.
    void clear();

private:
    // The rows read again: said once, when the PBX link has passed them.
    void reportSkipped(qint64 position);
    bool appendRecords();
    // Appends the records not written yet, the marks of `done` and the position.
    bool append(const QMap<quint64, Event> &kept, const QMap<quint64, Event> &done, qint64 position);

    KeptEvents m_file;
    QMap<quint64, Event> m_kept; // by the order they were handed over
    QHash<QString, QList<quint64>> m_cut; // by call
    quint64 m_lastSequence = 0;
    // The CEL position the file covers: the highest of the PBX link's saved positions, of the rows of the
    // events handed over and of the file read at the start. Never lowered.
    qint64 m_position = 0;
    qint64 m_writtenPosition = 0;
    // The events up to this one are in the file (or done); of those, the ones whose record changed since the
    // last write, and the ones done since (their records kept until they are marked).
    quint64 m_writtenUpTo = 0;
    QList<quint64> m_changed;
    QMap<quint64, Event> m_done;
    std::function<bool()> m_marksPending;
    std::function<void()> m_beforeMarks;
    bool m_writeFailed = false;
    bool m_loaded = false;
    bool m_debugReplay = false;
    // The kept events read at the start cover the rows up to this one, and these events above it or of no
    // row: the PBX link, its state older than theirs, reads them again.
    qint64 m_readAgainUpTo = 0;
    qint64 m_readAgainLast = 0;
    QSet<QString> m_readAgainKeys;
    int m_skippedRows = 0;
    qint64 m_lastSkippedRow = 0;
    QTimer m_writeTimer;
};

} // namespace Orvix::CRM::Bitrix
