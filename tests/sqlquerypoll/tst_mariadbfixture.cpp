#include "support/mariadbfixture.h"
#include "support/mariadbserver.h"

#include <QTcpSocket>
#include <QtTest>

using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::MariaDbServer;
using Orvix::Tests::MariaDbSettings;

// The fixture other suites build on: the shared server and the private servers that outage tests stop and start.
class tst_MariaDbFixture : public QObject
{
    Q_OBJECT

private:
    static bool portAccepts(int port)
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        return socket.waitForConnected(2000);
    }

    // Whether a port lies outside the range the kernel takes local ports from (connections, servers on port 0).
    static bool outsideLocalPortRange(int port)
    {
        QFile file(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
        if (!file.open(QIODevice::ReadOnly))
            return true;
        const QList<QByteArray> range = file.readAll().simplified().split(' ');
        return range.size() != 2 || port < range.at(0).toInt() || port > range.at(1).toInt();
    }

private Q_SLOTS:
    void sharedServerIsReachableOnLoopback()
    {
        const MariaDbSettings settings = MariaDbFixture::settings();
        QVERIFY2(settings.isValid(), qPrintable(settings.error));
        QCOMPARE(settings.host, QStringLiteral("127.0.0.1"));
        QVERIFY(!settings.password.isEmpty());
        QString error;
        QCOMPARE(MariaDbFixture::queryValue(settings, QStringLiteral("SELECT DATABASE()"), &error).toString(), settings.database);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void createDatabaseGivesAnEmptyDatabaseOfItsOwn()
    {
        MariaDbSettings settings = MariaDbFixture::createDatabase(QStringLiteral("tst_fixture_scratch"));
        QVERIFY2(settings.isValid(), qPrintable(settings.error));
        QString error;
        QVERIFY2(MariaDbFixture::execute(settings,
                                         {QStringLiteral("CREATE TABLE t (id INT)"),
                                          QStringLiteral("INSERT INTO t VALUES (1), (2)")},
                                         &error),
                 qPrintable(error));
        QCOMPARE(MariaDbFixture::queryValue(settings, QStringLiteral("SELECT COUNT(*) FROM t"), &error).toInt(), 2);

        // Created afresh: the table of the earlier run is gone.
        settings = MariaDbFixture::createDatabase(QStringLiteral("tst_fixture_scratch"));
        QVERIFY2(settings.isValid(), qPrintable(settings.error));
        QCOMPARE(MariaDbFixture::queryValue(settings, QStringLiteral("SELECT COUNT(*) FROM information_schema.tables "
                                                 "WHERE table_schema = DATABASE()"),
                        &error)
                     .toInt(),
                 0);
    }

    void executeReportsTheFailingStatement()
    {
        QString error;
        QVERIFY(!MariaDbFixture::execute(MariaDbFixture::settings(), {QStringLiteral("SELEC 1")}, &error));
        QVERIFY2(error.contains(QLatin1String("SELEC 1")), qPrintable(error));
    }

    void wrongPasswordIsRefused()
    {
        MariaDbSettings settings = MariaDbFixture::settings();
        QVERIFY2(settings.isValid(), qPrintable(settings.error));
        settings.password = QStringLiteral("not the password");
        QString error;
        QVERIFY(!MariaDbFixture::queryValue(settings, QStringLiteral("SELECT 1"), &error).isValid());
        QVERIFY2(error.contains(QLatin1String("Access denied")), qPrintable(error));
    }

    void serversListenOutsideTheLocalPortRange()
    {
        // A halted server's port taken meanwhile as some connection's local end would keep it from coming back.
        const MariaDbSettings shared = MariaDbFixture::settings();
        QVERIFY2(shared.isValid(), qPrintable(shared.error));
        QVERIFY2(outsideLocalPortRange(shared.port), qPrintable(QString::number(shared.port)));
        for (int i = 0; i < 2; ++i) {
            MariaDbServer server;
            QVERIFY2(server.start(), qPrintable(server.errorString()));
            QVERIFY2(outsideLocalPortRange(server.settings().port), qPrintable(QString::number(server.settings().port)));
        }
    }

    void privateServerHaltsAndComesBackOnItsPort()
    {
        MariaDbServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const MariaDbSettings settings = server.settings();
        QVERIFY(settings.port != MariaDbFixture::settings().port);
        QString error;
        QVERIFY2(MariaDbFixture::execute(settings,
                                         {QStringLiteral("CREATE TABLE kept (id INT)"),
                                          QStringLiteral("INSERT INTO kept VALUES (7)")},
                                         &error),
                 qPrintable(error));

        QVERIFY2(server.halt(), qPrintable(server.errorString()));
        QVERIFY(!server.isRunning());
        QVERIFY(!portAccepts(settings.port));
        QVERIFY(!MariaDbFixture::execute(settings, {QStringLiteral("SELECT 1")}));

        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QCOMPARE(server.settings().port, settings.port);
        QCOMPARE(MariaDbFixture::queryValue(settings, QStringLiteral("SELECT id FROM kept"), &error).toInt(), 7);

        // The shared server is untouched by all this.
        QVERIFY(MariaDbFixture::execute(MariaDbFixture::settings(), {QStringLiteral("SELECT 1")}, &error));
    }
};

QTEST_GUILESS_MAIN(tst_MariaDbFixture)
#include "tst_mariadbfixture.moc"
