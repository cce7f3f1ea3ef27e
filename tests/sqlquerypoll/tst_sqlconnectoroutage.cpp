#include "messagelog.h"
#include "requestwatch.h"
#include "sqlquerypoll/connector.h"
#include "sqlquerypoll/response.h"
#include "support/mariadbserver.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::SqlQueryPoll::Connector;
using Orvix::SqlQueryPoll::Response;
using Orvix::Tests::MariaDbServer;
using Orvix::Tests::execute;

namespace {

// The first column of the first row; empty without rows. The copy keeps the outcome's cursor where it is.
QString firstCell(Response response)
{
    return response.next() ? response.value(0).toString() : QString();
}

const QString kConnectionError = QStringLiteral("[outage_pool] Cannot connect to the database at ");

} // namespace

// The pool while its database server is away: each test stops a server of its own, never the shared one.
class tst_SqlConnectorOutage : public QObject
{
    Q_OBJECT

private:
    // Points the pool at the server and starts it; the query returned is the one that opens the connection.
    static QSharedPointer<Orvix::Tests::RequestOutcome> startOn(Connector &connector, const MariaDbServer &server)
    {
        const auto db = server.settings();
        connector.setConnectionSettings(db.host, db.port, db.user, db.password, db.database);
        connector.start();
        return execute(connector, QStringLiteral("SELECT 'up'"));
    }

private Q_SLOTS:
    void queuedRequestWaitsForTheServerToComeBack_data()
    {
        QTest::addColumn<bool>("givenUp"); // its caller gives it up while the server is away
        QTest::newRow("kept, it runs once the server is back") << false;
        QTest::newRow("given up, it is never run") << true;
    }

    void queuedRequestWaitsForTheServerToComeBack()
    {
        QFETCH(bool, givenUp);
        MariaDbServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        MessageLog log;
        Connector connector(QStringLiteral("outage_pool"));
        auto first = startOn(connector, server);
        QTRY_VERIFY(first->settled);
        QVERIFY2(first->resolved, qPrintable(first->error));

        QVERIFY2(server.halt(), qPrintable(server.errorString()));
        auto waiting = execute(connector, givenUp ? QStringLiteral("CREATE TABLE given_up (id INT)")
                                                  : QStringLiteral("SELECT 'back'"));

        // Retried about every 5 s, with the connection's name; the request neither fails nor runs meanwhile. The
        // failure is told once; its repeats go to debug level.
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QtDebugMsg, kConnectionError) >= 1, 20000);
        const QDateTime firstTry = log.lines(QtCriticalMsg, kConnectionError).at(0).time;
        QVERIFY(firstTry.msecsTo(log.lines(QtDebugMsg, kConnectionError).at(0).time) >= 4500);
        QCOMPARE(log.count(QtCriticalMsg, kConnectionError), 1);
        QVERIFY(!waiting->settled);
        QCOMPARE(log.count(QtWarningMsg, QStringLiteral("Lost connection to database, reconnecting")), 1);
        // The failure says which server is tried next and when.
        const QString nextAttempt = QStringLiteral("[outage_pool] DBQueryPool. Next connection attempt to 127.0.0.1:%1 in 5000 ms");
        QCOMPARE(log.count(QtInfoMsg, nextAttempt.arg(server.settings().port)), 1);

        if (givenUp) {
            connector.cancel();
            QTRY_VERIFY(waiting->settled);
            QVERIFY(!waiting->resolved);
            // Run after it, were it run.
            waiting = execute(connector, QStringLiteral("SELECT COUNT(*) FROM information_schema.tables "
                                                        "WHERE table_name = 'given_up'"));
        }
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(waiting->settled, 20000);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("[outage_pool] Connected to the database again")), 1);
        QVERIFY2(waiting->resolved, qPrintable(waiting->error));
        QCOMPARE(firstCell(waiting->value), givenUp ? QStringLiteral("0") : QStringLiteral("back"));
    }

    void nextAttemptNamesTheServer_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("why");
        QTest::newRow("TCP host") << "127.0.0.1" << "127.0.0.1:%1" << "connection refused";
        // An empty host is the local server's socket: a port there would mislead.
        QTest::newRow("local socket") << "" << "the local server" << "";
    }

    void nextAttemptNamesTheServer()
    {
        QFETCH(QString, host);
        QFETCH(QString, where);
        QFETCH(QString, why);
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            closedPort = probe.serverPort();
        }
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        MessageLog log;
        Connector connector(QStringLiteral("outage_pool"));
        if (host.isEmpty()) {
            // SQLite stands in for a local server that cannot be opened: the test touches no system socket.
            connector.setDriver(Connector::Sqlite);
            connector.setConnectionSettings(QString(), closedPort, QString(), QString(),
                                            dir.filePath(QStringLiteral("missing/pbx.sqlite")));
        } else {
            connector.setConnectionSettings(host, closedPort, QStringLiteral("nobody"), QString(), QString());
        }
        connector.start();
        const QString server = where.contains(QLatin1String("%1")) ? where.arg(closedPort) : where;
        const QString line = QStringLiteral("[outage_pool] DBQueryPool. Next connection attempt to %1 in 5000 ms").arg(server);
        QTRY_COMPARE(log.count(QtInfoMsg, line), 1);
        // And why, in words rather than the client library's.
        const QString failure = kConnectionError + server + QStringLiteral(": ") + why;
        QCOMPARE(log.count(QtCriticalMsg, failure), 1);
        connector.stop();
        // Tried again every few seconds while the server stays away: told once, the repeats only at debug level.
        connector.setReconnectInterval(std::chrono::milliseconds(20));
        connector.start();
        QTRY_VERIFY(log.count(QtDebugMsg, failure) >= 3);
        QCOMPARE(log.count(QtCriticalMsg, failure), 2); // a new worker tells it once more
        QCOMPARE(log.count(QtInfoMsg, line.section(QStringLiteral(" in "), 0, 0)), 2);
        connector.stop();
    }

    void stopWhileTheServerIsAwayRejectsAndARestartWorks()
    {
        MariaDbServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        MessageLog log;
        Connector connector(QStringLiteral("outage_pool"));
        auto first = startOn(connector, server);
        QTRY_VERIFY(first->settled);

        QVERIFY2(server.halt(), qPrintable(server.errorString()));
        auto waiting = execute(connector, QStringLiteral("SELECT 'never'"));
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QtCriticalMsg, kConnectionError) >= 1, 20000);

        // The worker is in its reconnect pause: the stop must still answer the queued request.
        connector.stop();
        QTRY_VERIFY(waiting->settled);
        QVERIFY(!waiting->resolved);
        QCOMPARE(waiting->error, QStringLiteral("Loop disabled"));

        connector.start();
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        auto after = execute(connector, QStringLiteral("SELECT 'again'"));
        QTRY_VERIFY_WITH_TIMEOUT(after->settled, 20000);
        QVERIFY2(after->resolved, qPrintable(after->error));
        QCOMPARE(firstCell(after->value), QStringLiteral("again"));
    }
};

QTEST_GUILESS_MAIN(tst_SqlConnectorOutage)
#include "tst_sqlconnectoroutage.moc"
