// What an administrator's statement costs the service's memory: the same capped request the /execute_sql route
// sends, against results of growing size, on a MariaDB server of its own. Prints, per result size, the rows
// answered, whether the answer was cut, and how much the process's peak resident memory (VmHWM) rose. The peak
// should stay flat once the result passes the cap; read whole, it would follow the result. A last line, 5 million
// small rows, shows that a cut result is not read to its end: its time is that of the rows answered.
//
// bench_sqlstatement [megabytes...]   (default: 20 100 400)

#include "sqlquerypoll/connector.h"
#include "sqlquerypoll/request.h"
#include "sqlquerypoll/response.h"
#include "support/mariadbserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTextStream>

using Orvix::SqlQueryPoll::Connector;
using Orvix::SqlQueryPoll::Request;
using Orvix::SqlQueryPoll::Response;

namespace {

qint64 peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QList<int> sizes;
    for (const QString &argument : app.arguments().mid(1))
        sizes.append(argument.toInt());
    if (sizes.isEmpty())
        sizes = {20, 100, 400};

    Orvix::Tests::MariaDbServer server;
    if (!server.start()) {
        out << "cannot start MariaDB: " << server.errorString() << '\n';
        return 1;
    }
    const auto settings = server.settings();
    Connector connector(QStringLiteral("bench_statement"));
    connector.setConnectionSettings(settings.host, settings.port, settings.user, settings.password,
                                    settings.database);
    connector.start();

    // The rows answered, whether cut, the peak's rise and the time taken for one capped statement.
    const auto measure = [&](const QString &sql, const QString &label) {
        Request request(sql);
        request.runOnce().closeSessionAfter().limitResult(Orvix::SqlQueryPoll::kStatementMaxRows,
                                                          Orvix::SqlQueryPoll::kStatementMaxBytes);
        const qint64 before = peakKiB();
        QElapsedTimer timer;
        timer.start();
        bool done = false;
        int rows = 0;
        bool cut = false;
        request
            .onResolve([&](Response response) {
                // As the route does: the rows as JSON.
                QJsonArray data;
                while (response.next())
                    data.append(response.rowValues());
                rows = data.size();
                cut = response.isCut();
                done = true;
            })
            .onReject([&](const QString &error) {
                out << "failed: " << error << '\n';
                done = true;
            });
        connector.execute(request);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        out << label << '\t' << rows << '\t' << (cut ? "yes" : "no") << '\t' << peakKiB() - before << '\t'
            << timer.elapsed() << '\n';
        out.flush();
    };
    out << "result MB\trows answered\tcut\tpeak rise KiB\tms\n";
    for (const int megabytes : sizes) // 10 kB rows
        measure(QStringLiteral("SELECT seq, REPEAT('x', 10000) FROM seq_1_to_%1").arg(megabytes * 100),
                QString::number(megabytes));
    // Many small rows past the cap: the time should stay that of the rows answered, not of the 5 M the result
    // holds (the connection is cut, not read to its end).
    measure(QStringLiteral("SELECT seq FROM seq_1_to_5000000"), QStringLiteral("5 M rows"));
    connector.stop();
    return 0;
}
