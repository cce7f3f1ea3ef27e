#include "config/manager.h"
#include "configsetup/configupdater.h"
#include "configsetup/dbchecker.h"
#include "httpclient/httpclient.h"
#include "setuptestsupport.h"
#include "support/mariadbfixture.h"
#include "sqlquerypoll/connector.h"
#include "support/promisewatch.h"

#include <QAtomicInt>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>

using Orvix::ConfigSetup::ConfigUpdater;
using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::MariaDbSettings;

namespace {

// Stands in for the MySQL driver and counts the times two of them were made or dropped at the same moment, which
// the real driver's unguarded instance count does not survive.
class OverlapDriver : public QSqlDriver
{
public:
    OverlapDriver() { enterAndLeave(); }
    ~OverlapDriver() override { enterAndLeave(); }

    bool hasFeature(DriverFeature) const override { return false; }
    bool open(const QString &, const QString &, const QString &, const QString &, int, const QString &) override
    {
        setLastError(QSqlError(QStringLiteral("no server"), QString(), QSqlError::ConnectionError));
        setOpenError(true);
        return false;
    }
    void close() override {}
    QSqlResult *createResult() const override { return nullptr; }

    static QAtomicInt overlaps;

private:
    static void enterAndLeave()
    {
        static QAtomicInt inside;
        if (inside.fetchAndAddOrdered(1) != 0)
            overlaps.ref();
        // Stays a moment, as the real driver's start does, so that an unguarded neighbour shows.
        for (int i = 0; i < 50; ++i)
            QThread::yieldCurrentThread();
        inside.deref();
    }
};

QAtomicInt OverlapDriver::overlaps;

} // namespace

class tst_DbCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void check_data();
    void check();
    void twoChecksAtOnce();
    void silentServerKeepsMainThreadRunning();
    // Last: it replaces the MySQL driver while it runs.
    void checkAndPoolMakeConnectionsOneAtATime();

private:
    QJsonObject settings() const;
    QJsonObject run(ConfigUpdater &updater, const QJsonObject &settings);

    QTemporaryDir m_dir;
    MariaDbSettings m_db;
    Orvix::Config::Manager m_config;
    std::unique_ptr<ConfigUpdater> m_updater;
};

void tst_DbCheck::initTestCase()
{
    QVERIFY(m_dir.isValid());
    SetupTest::freshConfig(m_dir.filePath("config.json"));
    m_db = MariaDbFixture::createDatabase(QStringLiteral("tst_dbcheck"));
    QVERIFY2(m_db.isValid(), qPrintable(m_db.error));
    QString error;
    QVERIFY2(MariaDbFixture::execute(m_db,
                                     {QStringLiteral("CREATE TABLE cel (id INT AUTO_INCREMENT PRIMARY KEY)"),
                                      QStringLiteral("CREATE TABLE cdr (uniqueid VARCHAR(32))")},
                                     &error),
             qPrintable(error));
    m_updater = std::make_unique<ConfigUpdater>(QSharedPointer<Orvix::HttpClient::HttpClient>::create(), m_config);
}

void tst_DbCheck::cleanupTestCase()
{
    m_updater.reset();
    Orvix::Config::Manager::resetForTesting();
    Orvix::Utils::Settings::Manager::configName.clear();
}

QJsonObject tst_DbCheck::settings() const
{
    return QJsonObject{{"host", m_db.host},         {"port", m_db.port},         {"user", m_db.user},
                       {"password", m_db.password}, {"database", m_db.database}};
}

QJsonObject tst_DbCheck::run(ConfigUpdater &updater, const QJsonObject &settings)
{
    Orvix::Utils::Promise<QJsonObject> promise;
    const auto outcome = Orvix::Tests::watch<QJsonObject, void>(promise);
    updater.dbCheck(promise, settings);
    if (!QTest::qWaitFor([&outcome] { return outcome->settled; }, 60000))
        return QJsonObject{{"status", "not settled"}};
    if (outcome->thread != QThread::currentThread())
        return QJsonObject{{"status", "settled on another thread"}};
    return outcome->value;
}

void tst_DbCheck::check_data()
{
    QTest::addColumn<QJsonObject>("change");
    QTest::addColumn<int>("status");

    QTest::newRow("fine") << QJsonObject{} << 0;
    QTest::newRow("wrong password") << QJsonObject{{"password", "wrong"}} << 3;
    QTest::newRow("unknown user") << QJsonObject{{"user", "nobody_here"}} << 3;
    QTest::newRow("unknown database") << QJsonObject{{"database", "tst_dbcheck_missing"}} << 4;
    QTest::newRow("CEL table missing") << QJsonObject{{"table_name_aliases", QJsonObject{{"cel", "cel_events"}}}} << 5;
    QTest::newRow("CDR table missing") << QJsonObject{{"table_name_aliases", QJsonObject{{"cdr", "cdr'; --"}}}} << 6;
    QTest::newRow("port given as text") << QJsonObject{{"port", "not a port"}} << 2;
    QTest::newRow("closed port") << QJsonObject{{"port", -2}} << 2; // -2: a port nobody listens on
}

void tst_DbCheck::check()
{
    QFETCH(QJsonObject, change);
    QFETCH(int, status);

    QJsonObject given = settings();
    for (auto it = change.begin(); it != change.end(); ++it)
        given.insert(it.key(), it.value());
    if (given.value("port") == QJsonValue(-2)) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        given.insert("port", closed.serverPort());
    }

    const QJsonObject result = run(*m_updater, given);
    QCOMPARE(result.value("status"), QJsonValue(status));
    QVERIFY(!result.value("message").toString().isEmpty());
    QCOMPARE(m_updater->checkStatus().value("database").toObject(), result);
}

void tst_DbCheck::twoChecksAtOnce()
{
    // Both use the check's one connection name: the second waits for the first.
    Orvix::Utils::Promise<QJsonObject> first;
    Orvix::Utils::Promise<QJsonObject> second;
    const auto one = Orvix::Tests::watch<QJsonObject, void>(first);
    const auto two = Orvix::Tests::watch<QJsonObject, void>(second);
    QJsonObject wrong = settings();
    wrong.insert("password", "wrong");
    m_updater->dbCheck(first, settings());
    m_updater->dbCheck(second, wrong);
    QTRY_VERIFY_WITH_TIMEOUT(one->settled && two->settled, 60000);
    QCOMPARE(one->value.value("status"), QJsonValue(0));
    QCOMPARE(two->value.value("status"), QJsonValue(3));
}

void tst_DbCheck::silentServerKeepsMainThreadRunning()
{
    // Accepts connections and never says a word, as a hung database server would.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket *> held;
    connect(&silent, &QTcpServer::newConnection, this, [&silent, &held] {
        while (QTcpSocket *socket = silent.nextPendingConnection())
            held.append(socket);
    });

    ConfigUpdater updater(QSharedPointer<Orvix::HttpClient::HttpClient>::create(), m_config);
    updater.setCheckTimeout(std::chrono::seconds(1));
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
    timer.start(10);

    Orvix::Utils::Promise<QJsonObject> promise;
    const auto outcome = Orvix::Tests::watch<QJsonObject, void>(promise);
    int ticksWhenSettled = -1;
    promise.onResolve([&ticks, &ticksWhenSettled](const QJsonObject &) { ticksWhenSettled = ticks; });
    QJsonObject given = settings();
    given.insert("host", "127.0.0.1");
    given.insert("port", silent.serverPort());
    updater.dbCheck(promise, given);

    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 60000);
    QVERIFY(!held.isEmpty());
    QCOMPARE(outcome->value.value("status"), QJsonValue(2));
    // The main thread's timer went on firing all the while the connection hung.
    QVERIFY2(ticksWhenSettled >= 3, qPrintable(QString::number(ticksWhenSettled)));
    qDeleteAll(held);
}

void tst_DbCheck::checkAndPoolMakeConnectionsOneAtATime()
{
    // A check on its pool thread while the PBX link's pool makes and drops connections of its own. A race shows
    // only by chance, but the stand-in driver lingers in its constructor and destructor to make it likely.
    QSqlDatabase::registerSqlDriver(QStringLiteral("QMYSQL"), new QSqlDriverCreator<OverlapDriver>);
    constexpr int kRounds = 300;
    Orvix::ConfigSetup::DbChecker::Settings check;
    check.host = QStringLiteral("127.0.0.1");
    QThread *checks = QThread::create([check] {
        for (int i = 0; i < kRounds; ++i)
            Orvix::ConfigSetup::DbChecker::run(check);
    });
    Orvix::SqlQueryPoll::Connector pool(QStringLiteral("beside_the_check"));
    pool.setConnectionSettings(QStringLiteral("127.0.0.1"), 3306, QStringLiteral("nobody"), QString(), QString());
    checks->start();
    int failed = 0;
    for (int i = 0; i < kRounds; ++i) {
        QString error;
        if (!pool.checkConnection(error))
            ++failed;
    }
    checks->wait();
    delete checks;
    QSqlDatabase::registerSqlDriver(QStringLiteral("QMYSQL"), nullptr);
    QCOMPARE(failed, kRounds); // every open went to the stand-in
    QCOMPARE(OverlapDriver::overlaps.loadAcquire(), 0);
}

QTEST_GUILESS_MAIN(tst_DbCheck)
#include "tst_dbcheck.moc"
