#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

class QThread;

namespace Orvix::PBX::Asterisk {

class StateFile;

// Writes the PBX link's state file off the main thread. save() hands over the latest text and returns
// at once; while a write is under way only the newest text waits, so a busy PBX never queues copies
// of a large state. flush() writes on the calling thread and returns once the newest text is on disk.
// Every write goes aside and is renamed into place: a crash leaves the previous state whole.
// Owned by the main thread; the writing runs on a thread of its own, which the destructor ends.
class StateWriter : public QObject
{
    Q_OBJECT

public:
    explicit StateWriter(QObject *parent = nullptr);
    ~StateWriter() override;

    void save(const QString &path, const QByteArray &text);
    // Writes the newest text handed over, unless the thread has already written it. False when that
    // write failed.
    bool flush();
    bool isWriting() const { return m_writing; }

Q_SIGNALS:
    // Main thread, after each write the thread made (failed or not).
    void written();

private:
    struct Job
    {
        QString path;
        QByteArray text;
        quint64 sequence = 0;
    };

    void startWrite(const Job &job);
    void onWritten();

    QThread *m_thread;
    QPointer<QObject> m_worker;
    QSharedPointer<StateFile> m_file;
    bool m_writing = false;
    Job m_inFlight;
    // The newest text, waiting for the write under way.
    Job m_pending;
    bool m_hasPending = false;
    quint64 m_sequence = 0;
};

} // namespace Orvix::PBX::Asterisk
