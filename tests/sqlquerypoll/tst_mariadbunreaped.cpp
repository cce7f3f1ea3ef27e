#include "support/mariadbfixture.h"
#include "support/mariadbserver.h"

#include <QtTest>

#include <sys/prctl.h>

using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::MariaDbServer;

// A private server where nothing reaps orphans, as in a container whose first process is no init: this program
// adopts the orphaned server and never waits for it, so a stopped server stays a zombie. Its own executable, since
// becoming a subreaper holds for the whole process.
class tst_MariaDbUnreaped : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0);
    }

    void haltAndRestartNeedNoKill()
    {
        MariaDbServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const int port = server.settings().port;

        // The server ends on SIGTERM; its zombie must not be taken for a server that ignores it.
        QVERIFY2(server.halt(), qPrintable(server.errorString()));
        QVERIFY2(!server.scriptOutput().contains(QLatin1String("killing")), qPrintable(server.scriptOutput()));
        QVERIFY(!MariaDbFixture::execute(server.settings(), {QStringLiteral("SELECT 1")}));

        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QCOMPARE(server.settings().port, port);
        QString error;
        QVERIFY2(MariaDbFixture::execute(server.settings(), {QStringLiteral("SELECT 1")}, &error), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(tst_MariaDbUnreaped)
#include "tst_mariadbunreaped.moc"
