#include "accessfailures.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHash>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace Orvix::HttpServer {

namespace {

// Clients counted one by one in a minute; the rest only in the total.
constexpr int kMaxCountedClients = 1024;
// A line carries what the client sent (a user name, a path): bounded and kept on one line, so that one
// request can neither fill the log nor write lines of its own into it. The middle goes: the end names the client.
constexpr int kMaxLineLength = 400;

QString oneLine(const QString &line)
{
    QString bounded = line.size() <= kMaxLineLength
        ? line
        : line.left(kMaxLineLength / 2) + QStringLiteral("...") + line.right(kMaxLineLength / 2);
    for (QChar &c : bounded) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            c = QLatin1Char('?');
    }
    return bounded;
}

struct State
{
    std::chrono::milliseconds interval = AccessFailures::kInterval;
    QPointer<QTimer> minute; // running while failures are summed up
    int suppressed = 0;
    QHash<QHostAddress, int> perClient;
    QString latest;
};

State &state()
{
    static State instance;
    return instance;
}

void endMinute()
{
    State &s = state();
    if (s.suppressed == 0) {
        s.minute->stop();
        return;
    }
    // Never empty here: the first clients of a minute are always counted.
    const auto most = std::max_element(s.perClient.cbegin(), s.perClient.cend());
    qWarning().noquote() << QStringLiteral("%1 more failed logins or refused requests in the last minute from %2 "
                                           "client(s), %3 of them from %4; the latest: %5")
                                .arg(s.suppressed)
                                .arg(s.perClient.size())
                                .arg(*most)
                                .arg(most.key().toString(), s.latest);
    s.suppressed = 0;
    s.perClient.clear();
    s.latest.clear();
    // The timer goes on: the next minute is summed up too, so a steady stream gives one line a minute.
}

} // namespace

void AccessFailures::record(const QHostAddress &client, const QString &line)
{
    State &s = state();
    if (!s.minute && QCoreApplication::instance()) {
        s.minute = new QTimer(QCoreApplication::instance());
        s.minute->setInterval(s.interval);
        QObject::connect(s.minute, &QTimer::timeout, s.minute, &endMinute);
    }
    if (!s.minute || !s.minute->isActive()) {
        qWarning().noquote() << oneLine(line);
        if (s.minute)
            s.minute->start();
        return;
    }
    ++s.suppressed;
    s.latest = oneLine(line);
    if (s.perClient.size() < kMaxCountedClients || s.perClient.contains(client))
        ++s.perClient[client];
}

void AccessFailures::setInterval(std::chrono::milliseconds interval)
{
    State &s = state();
    s.interval = interval;
    if (!s.minute)
        return;
    // What was summed up so far is said now; the next failure opens a minute of the new length.
    if (s.minute->isActive())
        endMinute();
    s.minute->stop();
    s.minute->setInterval(interval);
}

} // namespace Orvix::HttpServer
