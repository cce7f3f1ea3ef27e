#include "utils/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Orvix::Utils {

namespace {

constexpr auto kDefaultLogFileName = "/var/log/calvena.log";
constexpr auto kDefaultShowFrom = "fatal";
constexpr auto kDefaultPattern = "[%{time yyyy-MM-dd hh:mm:ss.zzz t}]\t%{type}\t%{message}";
constexpr auto kLinkRefused = "it is a link; name the file itself";

// The log directory may be briefly missing while it is rotated; give it a moment, but never hold the
// event thread for long: a level that still cannot open is left closed until the next reopen.
constexpr int kReopenAttempts = 5;
constexpr std::chrono::milliseconds kReopenDelay{200};

// Lowest first: info ranks between debug and warning, unlike the numeric values of QtMsgType.
constexpr std::array<QtMsgType, 5> kLevelOrder{QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg, QtFatalMsg};

struct FileStream
{
    QtMsgType type;
    std::unique_ptr<QFile> file;
    std::unique_ptr<QTextStream> stream;
};

struct LoggerState
{
    QString logFileName;
    QString showFrom;
    // In registration order; the most recently registered stream of a type is searched from the back.
    std::vector<FileStream> fileStreams;
    // Serialises writers (main thread and SQL workers) and reopen, so lines never interleave.
    QMutex mutex;
};

LoggerState &state()
{
    // Never destroyed: Qt and worker threads still log during static destruction at exit.
    static auto *instance = new LoggerState;
    return *instance;
}

// Set while this thread holds the logger's mutex: a message Qt emits meanwhile (a file or codec
// warning from inside the handler or from reopening) is dropped rather than locking the mutex again.
thread_local bool t_busy = false;

class LockedState
{
public:
    LockedState()
        : m_wasBusy(t_busy)
    {
        t_busy = true;
        state().mutex.lock();
    }
    ~LockedState()
    {
        state().mutex.unlock();
        t_busy = m_wasBusy;
    }
    LockedState(const LockedState &) = delete;
    LockedState &operator=(const LockedState &) = delete;

    LoggerState *operator->() const { return &state(); }

private:
    bool m_wasBusy;
};

bool isSuppressed(const QString &message)
{
    // Printed by Qt at start on systems whose OpenSSL lacks SSLv2; harmless and noisy.
    return message == QLatin1String("QSslSocket: cannot resolve SSLv2_client_method")
        || message == QLatin1String("QSslSocket: cannot resolve SSLv2_server_method");
}

// A message is one line, whatever its text came from (a caller number from CEL, an SQL error, a portal's
// answer): a line break in it would start a line that reads as an entry of its own, at a level of its
// choosing. The tab stays: it separates the fields of a call-trace line, and starts no line.
QString oneLine(const QString &text)
{
    const auto breaks = [](QChar c) {
        return (c.category() == QChar::Other_Control && c != QLatin1Char('\t')) || c.unicode() == 0x2028
            || c.unicode() == 0x2029;
    };
    if (std::none_of(text.cbegin(), text.cend(), breaks))
        return text;
    QString line;
    line.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (!breaks(c))
            line += c;
        else if (c == QLatin1Char('\n'))
            line += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            line += QLatin1String("\\r");
        else
            line += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
    return line;
}

std::size_t levelRank(QtMsgType type)
{
    for (std::size_t i = 0; i < kLevelOrder.size(); ++i) {
        if (kLevelOrder[i] == type)
            return i;
    }
    return kLevelOrder.size();
}

// Whether the head of a file is a line this logger wrote (the default pattern), or the file is empty, as a
// rotated log is (then `empty` is set).
bool holdsOwnLog(int fd, bool *empty)
{
    char head[64];
    const ssize_t size = ::pread(fd, head, sizeof head, 0);
    *empty = size == 0;
    if (size == 0)
        return true;
    static const QRegularExpression line(
        QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} [^\\]\\n]*\\]"
                       "\\t(debug|info|warning|critical|fatal)\\t"));
    return size > 0 && line.match(QString::fromLatin1(head, int(size))).hasMatch();
}

// The log goes only into a file this service makes or one that holds its log already: the service may
// run as root, and a path saved by mistake (or on purpose) must not make it append to another file,
// change that file's mode or hang opening a FIFO. why: the reason when it returns -1; empty: set when the file
// was there, empty.
int openLogFile(const QString &name, QString *why, bool *empty)
{
    *empty = false;
    const QByteArray path = QFile::encodeName(name);
    const int created = ::open(path.constData(),
                               O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                               S_IRUSR | S_IWUSR | S_IRGRP);
    if (created >= 0 || errno != EEXIST) {
        if (created < 0)
            *why = QString::fromLocal8Bit(std::strerror(errno));
        return created;
    }
    // Opening a device or a FIFO may act or wait: such a path is refused before it is opened, and
    // O_NONBLOCK covers a FIFO put there in the meantime. A link is never followed: it may lead anywhere.
    struct stat status;
    if (::lstat(path.constData(), &status) == 0 && !S_ISREG(status.st_mode)) {
        *why = QLatin1String(S_ISLNK(status.st_mode) ? kLinkRefused : "it is not a regular file");
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = errno == ELOOP ? QLatin1String(kLinkRefused) : QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        *why = QStringLiteral("it is not a regular file");
    else if (!holdsOwnLog(fd, empty))
        *why = QStringLiteral("it is another file, not this service's log");
    // An empty file is any program's, or another name of any file (a hard link): taken only when it is
    // this user's own and has no other name, as a rotation makes it.
    else if (*empty && (status.st_uid != ::geteuid() || status.st_nlink != 1))
        *why = QStringLiteral("it is an empty file of another user or with another name");
    else
        return fd;
    ::close(fd);
    return -1;
}

// Where the folders of a configured log path lead when that is not where they say (a link among them); empty
// otherwise, and for a folder that is missing (the open says so). A save keeps the path resolved: a link met
// here was made or re-pointed since, and could have the service, as root, make its file anywhere. The
// default's folder is the system's.
QString folderLeadsElsewhere(const QString &name)
{
    if (name == QLatin1String(kDefaultLogFileName))
        return QString();
    const QString folder = QFileInfo(name).absolutePath();
    const QString resolved = QFileInfo(folder).canonicalFilePath();
    return resolved.isEmpty() || resolved == QDir::cleanPath(folder) ? QString() : resolved;
}

// The log holds call data and its lines are no one else's business: a new file is made 0640 (the umask
// may narrow it further), and an existing log that anyone may read or write loses those rights (an
// older one, made 0644). The group's rights are left as the administrator set them, and so is the mode of an
// empty file: the one a rotation made, or another program's left at the log's path.
bool openForAppend(QFile &file, QString *why = nullptr)
{
    QString reason;
    bool empty = false;
    const QString elsewhere = folderLeadsElsewhere(file.fileName());
    if (!elsewhere.isEmpty()) {
        if (why)
            *why = QStringLiteral("its folder leads to %1 through a link; name the log by its real path")
                       .arg(elsewhere);
        return false;
    }
    const int fd = openLogFile(file.fileName(), &reason, &empty);
    if (fd < 0) {
        if (why)
            *why = reason;
        return false;
    }
    struct stat status;
    if (!empty && ::fstat(fd, &status) == 0 && (status.st_mode & S_IRWXO))
        ::fchmod(fd, status.st_mode & 07770);
    if (file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle))
        return true;
    if (why)
        *why = file.errorString();
    ::close(fd);
    return false;
}

// Callers hold the lock.
FileStream *lastStreamOf(QtMsgType type)
{
    auto &streams = state().fileStreams;
    for (auto it = streams.rbegin(); it != streams.rend(); ++it) {
        if (it->type == type)
            return &*it;
    }
    return nullptr;
}

void addStreamLocked(QtMsgType type, std::unique_ptr<QFile> file)
{
    auto stream = std::make_unique<QTextStream>(file.get());
    // Log texts are partly Russian; do not depend on the locale of the service's environment.
    stream->setCodec("UTF-8");
    state().fileStreams.push_back(FileStream{type, std::move(file), std::move(stream)});
}

// Caller holds the mutex. error: why the file did not open.
bool addFileStreamLocked(QtMsgType type, QString *error = nullptr)
{
    auto file = std::make_unique<QFile>(state().logFileName);
    if (!openForAppend(*file, error))
        return false;
    file->seek(file->size());
    addStreamLocked(type, std::move(file));
    return true;
}

// A log that cannot be written goes to the standard error output rather than nowhere. Caller holds
// the mutex; entry is the level's stream when it has one.
void useStandardErrorLocked(QtMsgType type, FileStream *entry)
{
    auto file = std::make_unique<QFile>();
    if (!file->open(stderr, QIODevice::WriteOnly))
        return;
    if (!entry) {
        addStreamLocked(type, std::move(file));
        return;
    }
    entry->stream->setDevice(file.get());
    entry->file = std::move(file);
}

void reportUnwritableLog(const QString &name, const QString &reason)
{
    std::fprintf(stderr, "Cannot open the log file %s: %s; logging to the standard error output\n",
                 qPrintable(name), qPrintable(reason));
}

} // namespace

void Logger::setLogFileName(const QString &name)
{
    const LockedState locked;
    state().logFileName = name.isEmpty() ? QString::fromLatin1(kDefaultLogFileName) : name;
}

void Logger::setShowFrom(const QString &level)
{
    const LockedState locked;
    state().showFrom = level.isEmpty() ? QString::fromLatin1(kDefaultShowFrom) : level;
}

QtMsgType Logger::levelFromName(const QString &name)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("debug"))
        return QtDebugMsg;
    if (lower == QLatin1String("info"))
        return QtInfoMsg;
    if (lower == QLatin1String("warning"))
        return QtWarningMsg;
    if (lower == QLatin1String("critical"))
        return QtCriticalMsg;
    if (lower == QLatin1String("fatal"))
        return QtFatalMsg;
    return QtWarningMsg;
}

void Logger::init(const QString &messagePattern)
{
    qSetMessagePattern(messagePattern.isEmpty() ? QString::fromLatin1(kDefaultPattern) : messagePattern);
    QString error;
    QString name;
    {
        const LockedState locked;
        name = state().logFileName;
        for (std::size_t i = levelRank(levelFromName(state().showFrom)); i < kLevelOrder.size(); ++i) {
            if (!addFileStreamLocked(kLevelOrder[i], &error))
                useStandardErrorLocked(kLevelOrder[i], nullptr);
        }
    }
    if (!error.isEmpty())
        reportUnwritableLog(name, error);
    qInstallMessageHandler(&Logger::loggerMessageOutput);
}

void Logger::addFileStream(QtMsgType type)
{
    const LockedState locked;
    addFileStreamLocked(type);
}

void Logger::loggerMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (t_busy || isSuppressed(message))
        return;
    const QString line = qFormatLogMessage(type, context, oneLine(maskSecrets(message)));
    const LockedState locked;
    auto &streams = locked->fileStreams;
    for (auto it = streams.rbegin(); it != streams.rend(); ++it) {
        // A level whose file did not reopen stays closed; writing to it would only make Qt warn.
        if (it->type != type || !it->file->isOpen())
            continue;
        *it->stream << line << '\n';
        it->stream->flush();
    }
}

void Logger::reopen()
{
    std::vector<QtMsgType> pending;
    {
        const LockedState locked;
        for (std::size_t i = levelRank(levelFromName(state().showFrom)); i < kLevelOrder.size(); ++i)
            pending.push_back(kLevelOrder[i]);
    }
    for (int attempt = 0; attempt < kReopenAttempts && !pending.empty(); ++attempt) {
        if (attempt > 0)
            QThread::msleep(static_cast<unsigned long>(kReopenDelay.count()));
        // The mutex is held per round, not across the sleep, so other threads keep logging meanwhile
        // (to the levels already reopened).
        const LockedState locked;
        std::vector<QtMsgType> failed;
        for (const QtMsgType type : pending) {
            FileStream *entry = lastStreamOf(type);
            if (!entry) {
                // The file could not be opened at start; the directory may exist now.
                if (!addFileStreamLocked(type))
                    failed.push_back(type);
                continue;
            }
            if (entry->file->isOpen()) {
                entry->stream->flush();
                entry->file->close();
            }
            entry->file->setFileName(state().logFileName);
            if (!openForAppend(*entry->file))
                failed.push_back(type);
        }
        pending = std::move(failed);
    }
    if (!pending.empty()) {
        const LockedState locked;
        for (const QtMsgType type : pending)
            useStandardErrorLocked(type, lastStreamOf(type));
    }
    qInstallMessageHandler(&Logger::loggerMessageOutput);
}

QString Logger::maskSecrets(const QString &text)
{
    if (!text.contains(QLatin1String("key")))
        return text;
    // "key=", or "key%3D" inside an encoded URL (twice encoded inside a batch command's query).
    static const QRegularExpression value(
        QStringLiteral("(key(?:=|%3[dD]|%253[dD]))([0-9A-Za-z]{4})[0-9A-Za-z_-]{12,}"));
    QString masked = text;
    masked.replace(value, QStringLiteral("\\1\\2\u2026"));
    return masked;
}

bool Logger::isUsableLogFile(const QString &path, QString *why)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat status;
    QString reason;
    if (::stat(encoded.constData(), &status) != 0) {
        // Made when the log opens: in a directory that is there, and never through a link.
        const QString directory = QFileInfo(path).absolutePath();
        struct stat link;
        if (::lstat(encoded.constData(), &link) == 0)
            reason = QStringLiteral("it is a link to a file that does not exist");
        else if (!QFileInfo(directory).isDir())
            reason = QStringLiteral("there is no directory %1").arg(directory);
        else
            return true;
    } else {
        bool empty = false;
        const int fd = S_ISREG(status.st_mode) ? openLogFile(path, &reason, &empty) : -1;
        if (fd >= 0)
            ::close(fd);
        // An empty file is the log only where the log is now, emptied by its rotation.
        struct stat current;
        const bool inUse = ::stat(QFile::encodeName(getLogFileName()).constData(), &current) == 0
            && current.st_dev == status.st_dev && current.st_ino == status.st_ino;
        if (fd >= 0 && (!empty || inUse))
            return true;
        if (fd >= 0)
            reason = QStringLiteral("it is another file, not this service's log");
    }
    if (why)
        *why = reason.isEmpty() ? QStringLiteral("it is not a regular file") : reason;
    return false;
}

QString Logger::logDirectory()
{
    const QString current = getLogFileName();
    const QFileInfo file(current.isEmpty() ? QString::fromLatin1(kDefaultLogFileName) : current);
    return QFileInfo(file.absolutePath()).canonicalFilePath();
}

QString Logger::getLogFileName()
{
    const LockedState locked;
    return state().logFileName;
}

} // namespace Orvix::Utils
