#include "crm/bitrix/eventjournal.h"

#include <QDebug>

#include <algorithm>
#include <utility>

namespace Orvix::CRM::Bitrix {

namespace {

// The done events leave the file this long after, or with the next save of the PBX link's state.
constexpr std::chrono::milliseconds kWriteDelay{1000};

} // namespace

EventJournal::EventJournal()
{
    m_writeTimer.setSingleShot(true);
    QObject::connect(&m_writeTimer, &QTimer::timeout, &m_writeTimer, [this]() { write(); });
}

void EventJournal::useFilePath(const QString &path)
{
    if (m_file.filePath().isEmpty())
        m_file.setFilePath(path);
}

void EventJournal::load()
{
    // Once a process: a restart of the links has them in memory. A debug run over chosen rows leaves the
    // production run's file alone, and takes none of its rows for one read again.
    if (std::exchange(m_loaded, true) || m_debugReplay)
        return;
    qint64 position = 0;
    m_kept = m_file.load(&position, &m_readAgainKeys);
    m_readAgainUpTo = position;
    m_readAgainLast = position;
    m_position = position;
    m_writtenPosition = position;
    m_lastSequence = m_kept.isEmpty() ? 0 : m_kept.lastKey();
    m_writtenUpTo = m_lastSequence;
    for (const Event &event : qAsConst(m_kept)) {
        // Those of no row are among the file's keys already.
        if (event.row > position)
            m_readAgainKeys.insert(KeptEvents::key(event.row, event.kind, event.callId, event.data()));
        m_readAgainLast = std::max(m_readAgainLast, event.row);
        m_cut[event.callId].append(event.sequence);
    }
    if (!m_kept.isEmpty())
        qInfo().noquote() << QStringLiteral("Call events kept from before the stop, done now: %1").arg(m_kept.size());
}

quint64 EventJournal::add(Kind kind, const QString &callId, qint64 row, const QJsonObject &data, const QDateTime &at)
{
    // Read again from CEL after a stop whose state the PBX link had not written yet: kept already, or done.
    // The end of a call the PBX lost is made again from the same state: the same call, kind and leg.
    const bool readAgain = (row > 0 && row <= m_readAgainUpTo)
        || m_readAgainKeys.contains(KeptEvents::key(row, kind, callId, data));
    if (readAgain) {
        if (row > 0 && row != m_lastSkippedRow) {
            ++m_skippedRows;
            m_lastSkippedRow = row;
        }
        return 0;
    }
    const quint64 sequence = ++m_lastSequence;
    m_kept.insert(sequence, KeptEvents::make(sequence, kind, callId, row, data, at.toUTC()));
    // Every event handed over is kept or done: the file covers its row whatever the PBX link saved so far.
    m_position = std::max(m_position, row);
    return sequence;
}

bool EventJournal::hasCall(const QString &callId) const
{
    return std::any_of(m_kept.cbegin(), m_kept.cend(),
                       [&callId](const Event &event) { return event.callId == callId; });
}

QDateTime EventJournal::newestStamp() const
{
    QDateTime newest;
    for (const Event &event : m_kept) {
        if (!newest.isValid() || newest < event.at)
            newest = event.at;
    }
    return newest;
}

void EventJournal::setMember(quint64 sequence, QLatin1String key, const QJsonValue &value)
{
    const auto event = m_kept.find(sequence);
    if (event == m_kept.end())
        return;
    KeptEvents::setMember(&*event, key, value);
    // In the file already: a later record of it replaces that one.
    if (sequence <= m_writtenUpTo)
        m_changed.append(sequence);
}

void EventJournal::drop(quint64 sequence)
{
    const auto event = m_kept.find(sequence);
    if (event == m_kept.end())
        return;
    // Marked done in the file it is in; one not written yet is simply never written.
    if (sequence <= m_writtenUpTo)
        m_done.insert(sequence, *event);
    m_kept.erase(event);
    if (!m_writeTimer.isActive())
        m_writeTimer.start(kWriteDelay);
}

void EventJournal::cut(quint64 sequence)
{
    const auto event = m_kept.constFind(sequence);
    if (event != m_kept.cend() && !m_cut.value(event->callId).contains(sequence))
        m_cut[event->callId].append(sequence);
}

QList<quint64> EventJournal::takeCut(const QString &callId, quint64 upTo)
{
    QList<quint64> taken;
    const auto cut = m_cut.find(callId);
    if (cut == m_cut.end())
        return taken;
    std::sort(cut->begin(), cut->end());
    while (!cut->isEmpty() && (upTo == 0 || cut->first() < upTo))
        taken.append(cut->takeFirst());
    if (cut->isEmpty())
        m_cut.erase(cut);
    return taken;
}

QMap<quint64, QString> EventJournal::cutCalls() const
{
    QMap<quint64, QString> calls;
    for (auto it = m_cut.cbegin(); it != m_cut.cend(); ++it) {
        if (!it->isEmpty())
            calls.insert(*std::max_element(it->cbegin(), it->cend()), it.key());
    }
    return calls;
}

bool EventJournal::coverUpTo(qint64 position)
{
    // Never lowered: a PBX link whose state is behind the file reads again what the file covers.
    m_position = std::max(m_position, position);
    reportSkipped(position);
    return write();
}

void EventJournal::reportSkipped(qint64 position)
{
    if (m_skippedRows == 0 || position < m_readAgainLast)
        return;
    // An administrator who put back an older state.json to have a period sent again learns why nothing went.
    qWarning().noquote() << QStringLiteral("%1 CEL row(s) up to id %2 were read again and skipped: their call events "
                                           "were handled before the stop (state.json is older than %3; the two go "
                                           "together)")
                                .arg(m_skippedRows)
                                .arg(m_lastSkippedRow)
                                .arg(m_file.filePath());
    m_skippedRows = 0;
}

bool EventJournal::write()
{
    m_writeTimer.stop();
    const bool beforeMarks = m_marksPending && m_marksPending();
    // A kill between the writes finds what the stages of the events marked done changed, and replays the others
    // with what they read.
    if (beforeMarks && !m_debugReplay && !appendRecords())
        return false;
    if (beforeMarks)
        m_beforeMarks();
    return m_debugReplay || append(m_kept, m_done, m_position);
}

bool EventJournal::writeRecords()
{
    if (!m_marksPending || !m_marksPending())
        return write();
    return m_debugReplay || appendRecords();
}

bool EventJournal::appendRecords()
{
    if (m_kept.upperBound(m_writtenUpTo) == m_kept.end() && m_changed.isEmpty())
        return true;
    // The position, which covers the events never written, waits for the marks; the events done since the last
    // write stay in a file written whole meanwhile.
    if (m_done.isEmpty() || !m_file.isRewriteDue())
        return append(m_kept, {}, m_writtenPosition);
    QMap<quint64, Event> unmarked = m_kept;
    unmarked.insert(m_done);
    return append(unmarked, {}, m_writtenPosition);
}

bool EventJournal::append(const QMap<quint64, Event> &kept, const QMap<quint64, Event> &done, qint64 position)
{
    const bool changed = kept.upperBound(m_writtenUpTo) != kept.end() || !m_changed.isEmpty() || !done.isEmpty()
        || position != m_writtenPosition;
    if (!changed)
        return true;
    QString error;
    if (!m_file.write(kept, m_writtenUpTo, m_changed, done.keys(), position, &error)) {
        // Said once an outage; what was to be written stays, and goes with the next write.
        if (!std::exchange(m_writeFailed, true))
            qWarning().noquote() << QStringLiteral("Cannot save the kept call events %1: %2; the PBX link keeps its "
                                                   "saved CEL position until they are saved")
                                        .arg(m_file.filePath(), error);
        return false;
    }
    if (std::exchange(m_writeFailed, false))
        qInfo().noquote() << QStringLiteral("The kept call events are saved again in %1").arg(m_file.filePath());
    m_writtenUpTo = m_lastSequence;
    m_changed.clear();
    if (!done.isEmpty())
        m_done.clear();
    m_writtenPosition = position;
    return true;
}

void EventJournal::clear()
{
    m_kept.clear();
    m_cut.clear();
    m_changed.clear();
    m_done.clear();
    QString error;
    if (!m_file.clear(&error))
        qWarning().noquote()
            << QStringLiteral("Cannot empty the kept call events %1: %2").arg(m_file.filePath(), error);
}

} // namespace Orvix::CRM::Bitrix
