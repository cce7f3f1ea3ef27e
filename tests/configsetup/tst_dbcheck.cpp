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
    // The columns the service reads; the second CDR table is a plain Asterisk one, without cnum.
    const QString cel = QStringLiteral("(id INT AUTO_INCREMENT PRIMARY KEY, eventtype VARCHAR(30), eventtime DATETIME, "
                                       "cid_num VARCHAR(80), exten VARCHAR(80), uniqueid VARCHAR(150), "
                                       "linkedid VARCHAR(150), channame VARCHAR(80))");
    QString error;
    QVERIFY2(MariaDbFixture::execute(m_db,
                                     {"CREATE TABLE cel " + cel,
                                      "CREATE TABLE cel_short (id INT, EventType INT, eventtime INT, uniqueid INT, "
                                      "linkedid INT, channame INT)",
                                      "CREATE TABLE cdr (calldate DATETIME, src VARCHAR(80), CNUM VARCHAR(80), "
                                      "recordingfile VARCHAR(255), uniqueid VARCHAR(32))",
                                      "CREATE TABLE cdr_plain (calldate DATETIME, src VARCHAR(80), "
                                      "recordingfile VARCHAR(255), uniqueid VARCHAR(32))",
                                      // A user granted the CDR table alone, as when the grant of cel is forgotten;
                                      // written into the grant table, as the fixture's user may not GRANT.
                                      "CREATE USER IF NOT EXISTS 'tst_dbcheck_cdr'@'%' IDENTIFIED BY 'cdr-only'",
                                      "REPLACE INTO mysql.tables_priv (Host, Db, User, Table_name, Table_priv) "
                                      "VALUES ('%', 'tst_dbcheck', 'tst_dbcheck_cdr', 'cdr', 'Select')",
                                      "FLUSH PRIVILEGES"},
                                     &error),
             qPrintable(error));
    // Saved as the checks below give them: the check that changes nothing stands for the saved settings.
    QVERIFY(Orvix::Config::Manager::update({{"Database", settings()}}).isEmpty());
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
    QTest::addColumn<QString>("message"); // empty: any

    const auto tables = [](const char *cel, const char *cdr) {
        return QJsonObject{{"table_name_aliases", QJsonObject{{"cel", cel}, {"cdr", cdr}}}};
    };
    QTest::newRow("fine") << QJsonObject{} << 0 << "Connected to the database";
    QTest::newRow("wrong password") << QJsonObject{{"password", "wrong"}} << 3 << QString();
    QTest::newRow("unknown user") << QJsonObject{{"user", "nobody_here"}} << 3 << QString();
    QTest::newRow("unknown database") << QJsonObject{{"database", "tst_dbcheck_missing"}} << 4 << QString();
    QTest::newRow("CEL table missing") << QJsonObject{{"table_name_aliases", QJsonObject{{"cel", "cel_events"}}}} << 5
                                       << QString();
    QTest::newRow("CDR table missing") << QJsonObject{{"table_name_aliases", QJsonObject{{"cdr", "cdr'; --"}}}} << 6
                                       << QString();
    QTest::newRow("a user who may not read the CEL table")
        << QJsonObject{{"user", "tst_dbcheck_cdr"}, {"password", "cdr-only"}} << 5
        << "The database user \"tst_dbcheck_cdr\" may not read the CEL table \"cel\": grant it SELECT on "
           "tst_dbcheck.cel";
    QTest::newRow("no host") << QJsonObject{{"host", ""}} << 8
                             << "No database host is set: enter the address of the PBX's database server, or "
                                "localhost for a server on this host";
    QTest::newRow("port given as text") << QJsonObject{{"port", "not a port"}} << 2 << QString();
    QTest::newRow("closed port") << QJsonObject{{"port", -2}} << 2 << QString(); // -2: a port nobody listens on
    // Each column the service reads and the table lacks is named, with what to do.
    QTest::newRow("CDR table without cnum") << tables("cel", "cdr_plain") << 7
                                            << "cdr_plain.cnum is missing: add it, or map the column in "
                                               "column_name_aliases";
    QTest::newRow("CDR column mapped to another name") << QJsonObject{{"column_name_aliases",
                                                                       QJsonObject{{"cdr_cnum", "clid"}}}}
                                                       << 7 << "cdr.clid is missing: add it, or map the column in "
                                                               "column_name_aliases";
    QTest::newRow("a short CEL table: every column named, whatever its case")
        << tables("cel_short", "cdr") << 7
        << "cel_short.cid_num is missing: add it, or map the column in column_name_aliases; cel_short.exten is "
           "missing: add it, or map the column in column_name_aliases";
    // Another server with the saved password: the request must carry its own.
    QTest::newRow("another host without a password")
        << QJsonObject{{"host", "db.company.example"}, {"password", QJsonValue::Null}} << 8
        << QStringLiteral("Give the database password to check db.company.example:%1: what is saved is sent only "
                          "to 127.0.0.1:%1");
}

void tst_DbCheck::check()
{
    QFETCH(QJsonObject, change);
    QFETCH(int, status);
    QFETCH(QString, message);

    QJsonObject given = settings();
    for (auto it = change.begin(); it != change.end(); ++it) {
        if (it.value().isNull()) // not given
            given.remove(it.key());
        else
            given.insert(it.key(), it.value());
    }
    if (given.value("port") == QJsonValue(-2)) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        given.insert("port", closed.serverPort());
    }

    const QJsonObject result = run(*m_updater, given);
    QCOMPARE(result.value("status"), QJsonValue(status));
    if (message.isEmpty())
        QVERIFY(!result.value("message").toString().isEmpty());
    else
        QCOMPARE(result.value("message").toString(), message.arg(m_db.port));
    // Kept as the status of the saved settings only when it is theirs.
    QCOMPARE(m_updater->checkStatus().value("database").toObject().value("status"),
             QJsonValue(change.isEmpty() ? status : -1));
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
