#include "pbx/asterisk/statewriter.h"

#include "utils/ownerfile.h"

#include <QDebug>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

namespace Orvix::PBX::Asterisk {

// The file side, shared by the writer and its thread. The mutex is held for a whole write, so that a
// text never overtakes a newer one on disk.
class StateFile
{
public:
    bool write(const QString &path, const QByteArray &text, quint64 sequence)
    {
        QMutexLocker locker(&m_mutex);
        if (sequence <= m_writtenSequence)
            return m_lastOk;
        m_writtenSequence = sequence;
        m_lastOk = writeFile(path, text);
        return m_lastOk;
    }

private:
    // The tracked calls hold customers' numbers: the file is the service's user's alone, like the CRM's.
    static bool writeFile(const QString &path, const QByteArray &text)
    {
        QString error;
        if (!Utils::saveOwnerOnlyFile(path, text, &error)) {
            qWarning().noquote() << QStringLiteral("Cannot save the PBX state to %1: %2").arg(path, error);
            return false;
        }
        return true;
    }

    QMutex m_mutex;
    quint64 m_writtenSequence = 0;
    bool m_lastOk = true;
};

StateWriter::StateWriter(QObject *parent)
    : QObject(parent)
    , m_thread(new QThread(this))
    , m_file(QSharedPointer<StateFile>::create())
{
    auto *worker = new QObject;
    worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, worker, &QObject::deleteLater);
    m_worker = worker;
    m_thread->start();
}

StateWriter::~StateWriter()
{
    flush();
    m_thread->quit();
    m_thread->wait();
}

void StateWriter::save(const QString &path, const QByteArray &text)
{
    const Job job{path, text, ++m_sequence};
    if (m_writing) {
        m_pending = job;
        m_hasPending = true;
        return;
    }
    startWrite(job);
}

void StateWriter::startWrite(const Job &job)
{
    m_writing = true;
    m_inFlight = job;
    const QPointer<StateWriter> self(this);
    const QSharedPointer<StateFile> file = m_file;
    QMetaObject::invokeMethod(m_worker, [self, file, job] {
        file->write(job.path, job.text, job.sequence);
        QMetaObject::invokeMethod(
            self,
            [self] {
                if (self)
                    self->onWritten();
            },
            Qt::QueuedConnection);
    });
}

void StateWriter::onWritten()
{
    m_writing = false;
    m_inFlight = Job();
    if (m_hasPending) {
        m_hasPending = false;
        const Job next = m_pending;
        m_pending = Job();
        startWrite(next);
    }
    Q_EMIT written();
}

bool StateWriter::flush()
{
    Job newest;
    if (m_hasPending) {
        newest = m_pending;
        m_hasPending = false;
        m_pending = Job();
    } else if (m_writing) {
        newest = m_inFlight;
    } else {
        return true;
    }
    // Once it is on disk, a write of the same or an older text still queued for the thread is skipped.
    return m_file->write(newest.path, newest.text, newest.sequence);
}

} // namespace Orvix::PBX::Asterisk
