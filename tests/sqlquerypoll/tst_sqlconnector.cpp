#include "messagelog.h"
#include "requestwatch.h"
#include "sqlquerypoll/connector.h"
#include "sqlquerypoll/request.h"
#include "sqlquerypoll/response.h"
#include "support/mariadbfixture.h"

#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>

using Orvix::SqlQueryPoll::Connector;
using Orvix::SqlQueryPoll::Request;
using Orvix::SqlQueryPoll::Response;
using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::MariaDbSettings;
using Orvix::Tests::RequestOutcome;
using Orvix::Tests::execute;

// The query pool against a real MariaDB server: ordering, retries, lost connections, results and the worker's life.
class tst_SqlConnector : public QObject
{
    Q_OBJECT

private:
    MariaDbSettings m_db;

    std::unique_ptr<Connector> startedConnector(const QString &name = QStringLiteral("test_pool"))
    {
        auto connector = std::make_unique<Connector>(name);
        connector->setConnectionSettings(m_db.host, m_db.port, m_db.user, m_db.password, m_db.database);
        connector->start();
        return connector;
    }

    QVariant scalar(const QString &sql)
    {
        QString error;
        const QVariant result = MariaDbFixture::queryValue(m_db, sql, &error);
        if (!result.isValid())
            qWarning() << "probe failed:" << sql << error;
        return result;
    }

    bool exec(const QStringList &statements)
    {
        QString error;
        const bool ok = MariaDbFixture::execute(m_db, statements, &error);
        if (!ok)
            qWarning() << error;
        return ok;
    }

    // Connections of the pool's user that are executing the given statement right now. Not one that is still
    // preparing it: killed between its prepare and its execution, it is opened again by the driver on its own,
    // which answers the execution with "Unknown prepared statement handler", not with the lost connection.
    QList<qlonglong> runningIds(const QString &marker)
    {
        QList<qlonglong> ids;
        const QString name = QStringLiteral("tst_killer");
        {
            QSqlDatabase db = m_db.addConnection(name);
            if (db.open()) {
                QSqlQuery query(db);
                query.exec(QStringLiteral("SELECT id FROM information_schema.processlist WHERE info LIKE '%%1%' "
                                          "AND command = 'Execute' AND id <> CONNECTION_ID()")
                               .arg(marker));
                while (query.next())
                    ids.append(query.value(0).toLongLong());
            }
        }
        QSqlDatabase::removeDatabase(name);
        return ids;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_db = MariaDbFixture::createDatabase(QStringLiteral("tst_sqlconnector"));
        QVERIFY2(m_db.isValid(), qPrintable(m_db.error));
        QVERIFY(exec({
            QStringLiteral("CREATE TABLE calls (id INT AUTO_INCREMENT PRIMARY KEY, number VARCHAR(32), "
                           "started DATETIME NULL)"),
            QStringLiteral("INSERT INTO calls (number, started) VALUES ('101', '2026-01-02 03:04:05'), "
                           "('102', NULL), ('79001234567', '2026-01-02 03:05:00')"),
            // Not transactional: a hit survives the error that follows it in the same statement.
            QStringLiteral("CREATE TABLE hits (id INT AUTO_INCREMENT PRIMARY KEY, tag VARCHAR(32)) ENGINE=MyISAM"),
            QStringLiteral("CREATE FUNCTION fail_and_count(tag VARCHAR(32)) RETURNS INT MODIFIES SQL DATA "
                           "BEGIN INSERT INTO hits (tag) VALUES (tag); "
                           "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused on purpose'; RETURN 0; END"),
        }));
    }

    void requestsSettleInOrderOnTheCallersThread()
    {
        auto connector = startedConnector();
        QStringList order;
        Request slow(QStringLiteral("SELECT SLEEP(0.3), 'first'"));
        Request quick(QStringLiteral("SELECT 'second'"));
        slow.onResolve([&order](Response r) {
            r.next();
            order << r.value(1).toString();
        });
        quick.onResolve([&order](Response r) {
            r.next();
            order << r.value(0).toString();
        });
        auto slowOutcome = execute(*connector, slow);
        auto quickOutcome = execute(*connector, quick);
        QTRY_VERIFY(quickOutcome->settled);
        QCOMPARE(order, (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
        QCOMPARE(slowOutcome->thread, QThread::currentThread());
        QCOMPARE(quickOutcome->thread, QThread::currentThread());
    }

    void results_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QVariantList>("positional");
        QTest::addColumn<QVariantMap>("named");
        QTest::addColumn<QJsonArray>("fields");
        QTest::addColumn<QList<QJsonArray>>("rows");

        QTest::newRow("rows in order, NULL and dates")
            << QStringLiteral("SELECT id, number, started FROM calls WHERE id <= 2 ORDER BY id") << QVariantList()
            << QVariantMap() << QJsonArray{"id", "number", "started"}
            << QList<QJsonArray>{QJsonArray{1, "101", "2026-01-02T03:04:05.000"}, QJsonArray{2, "102", QJsonValue()}};
        QTest::newRow("no rows still names the columns")
            << QStringLiteral("SELECT id, number FROM calls WHERE id < 0") << QVariantList() << QVariantMap()
            << QJsonArray{"id", "number"} << QList<QJsonArray>();
        QTest::newRow("positional values in order")
            << QStringLiteral("SELECT number FROM calls WHERE id > ? AND number <> ? ORDER BY id")
            << QVariantList{1, QStringLiteral("102")} << QVariantMap() << QJsonArray{"number"}
            << QList<QJsonArray>{QJsonArray{"79001234567"}};
        QTest::newRow("named values")
            << QStringLiteral("SELECT id FROM calls WHERE number = :number OR id = :id ORDER BY id")
            << QVariantList() << QVariantMap{{QStringLiteral(":number"), QStringLiteral("102")},
                                             {QStringLiteral(":id"), 1}}
            << QJsonArray{"id"} << QList<QJsonArray>{QJsonArray{1}, QJsonArray{2}};
        QTest::newRow("a value that would break quoting is data")
            << QStringLiteral("SELECT COUNT(*) AS n FROM calls WHERE number = ?")
            << QVariantList{QStringLiteral("' OR '1'='1")} << QVariantMap() << QJsonArray{"n"}
            << QList<QJsonArray>{QJsonArray{0}};
    }

    void results()
    {
        QFETCH(QString, sql);
        QFETCH(QVariantList, positional);
        QFETCH(QVariantMap, named);
        QFETCH(QJsonArray, fields);
        QFETCH(QList<QJsonArray>, rows);

        auto connector = startedConnector();
        Request request(sql);
        for (const QVariant &value : positional)
            request.addBindValue(value);
        for (auto it = named.cbegin(); it != named.cend(); ++it)
            request.bindValue(it.key(), it.value());
        auto outcome = execute(*connector, request);
        QTRY_VERIFY(outcome->settled);
        QVERIFY2(outcome->resolved, qPrintable(outcome->error));

        Response response = outcome->value;
        QVERIFY(response.isOk());
        QCOMPARE(response.fieldNames(), fields);
        QCOMPARE(response.rowValues(), QJsonArray());
        for (const QJsonArray &row : rows) {
            QVERIFY(response.next());
            QCOMPARE(response.rowValues(), row);
            QCOMPARE(QJsonValue::fromVariant(response.value(fields.first().toString())), row.first());
        }
        QVERIFY(!response.next());
        QCOMPARE(response.rowValues(), QJsonArray());
        QVERIFY(!response.value(0).isValid());
    }

    void bindingANameTwiceKeepsTheSecondValue()
    {
        auto connector = startedConnector();
        Request request(QStringLiteral("SELECT number FROM calls WHERE id = :id"));
        request.bindValue(QStringLiteral(":id"), 1).bindValue(QStringLiteral(":id"), 2);
        auto outcome = execute(*connector, request);
        QTRY_VERIFY(outcome->settled);
        QVERIFY2(outcome->resolved, qPrintable(outcome->error));
        QVERIFY(outcome->value.next());
        QCOMPARE(outcome->value.value(QStringLiteral("NUMBER")).toString(), QStringLiteral("102"));
    }

    void insertReportsIdAndAffectedRows()
    {
        auto connector = startedConnector();
        Request request(QStringLiteral("INSERT INTO calls (number) VALUES (?)"));
        request.addBindValue(QStringLiteral("555"));
        auto outcome = execute(*connector, request);
        QTRY_VERIFY(outcome->settled);
        QVERIFY2(outcome->resolved, qPrintable(outcome->error));
        QCOMPARE(outcome->value.numRowsAffected(), 1);
        QCOMPARE(outcome->value.lastInsertId(),
                 scalar(QStringLiteral("SELECT id FROM calls WHERE number = '555'")).toInt());
        QCOMPARE(outcome->value.fieldNames(), QJsonArray());
        QVERIFY(!outcome->value.next());
    }

    void responseOutlivesLaterQueriesAndCopiesKeepTheirCursor()
    {
        auto connector = startedConnector();
        auto firstOutcome = execute(*connector, QStringLiteral("SELECT number FROM calls WHERE id <= 3 ORDER BY id"));
        QTRY_VERIFY(firstOutcome->settled);

        // The worker goes on with other queries on the same connection before the first answer is read.
        QList<QSharedPointer<RequestOutcome>> later;
        for (int i = 0; i < 3; ++i)
            later << execute(*connector, QStringLiteral("SELECT id, number FROM calls ORDER BY id DESC"));
        QTRY_VERIFY(later.last()->settled);

        Response response = firstOutcome->value;
        QVERIFY(response.next());
        Response copy = response;
        QCOMPARE(copy.value(0).toString(), QStringLiteral("101"));
        QVERIFY(response.next());
        QCOMPARE(response.value(0).toString(), QStringLiteral("102"));
        QCOMPARE(copy.value(0).toString(), QStringLiteral("101"));
        QVERIFY(response.next());
        QCOMPARE(response.value(0).toString(), QStringLiteral("79001234567"));
        QVERIFY(!response.next());
    }

    void failingQueryRunsItsAttemptsThenRejects_data()
    {
        QTest::addColumn<int>("attempts");
        QTest::addColumn<int>("executions");
        QTest::newRow("default is five") << 0 << 5;
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("three") << 3 << 3;
    }

    void failingQueryRunsItsAttemptsThenRejects()
    {
        QFETCH(int, attempts);
        QFETCH(int, executions);
        const QString tag = QStringLiteral("attempts-%1").arg(attempts);

        auto connector = startedConnector();
        Request request(QStringLiteral("SELECT fail_and_count(?)"), quint8(attempts));
        request.addBindValue(tag);
        auto outcome = execute(*connector, request);
        QTRY_VERIFY(outcome->settled);
        QVERIFY(!outcome->resolved);
        QVERIFY2(outcome->error.contains(QLatin1String("refused on purpose")), qPrintable(outcome->error));
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM hits WHERE tag = '%1'").arg(tag)).toInt(), executions);

        // The pool goes on with the next request.
        auto nextOutcome = execute(*connector, QStringLiteral("SELECT 1"));
        QTRY_VERIFY(nextOutcome->settled);
        QVERIFY(nextOutcome->resolved);
    }

    void syntaxErrorIsRejectedWithTheServersText()
    {
        auto connector = startedConnector();
        auto outcome = execute(*connector, QStringLiteral("SELEC number FROM calls"));
        QTRY_VERIFY(outcome->settled);
        QVERIFY(!outcome->resolved);
        QVERIFY2(outcome->error.contains(QLatin1String("SQL syntax")), qPrintable(outcome->error));
    }

    void killedConnectionRunsTheRequestAgain()
    {
        MessageLog log;
        auto connector = startedConnector();
        auto outcome = execute(*connector, QStringLiteral("SELECT SLEEP(3) AS kill_me_once, CONNECTION_ID()"));

        QList<qlonglong> victims;
        QTRY_VERIFY((victims = runningIds(QStringLiteral("kill_me_once"))).size() == 1);
        QVERIFY(exec({QStringLiteral("KILL %1").arg(victims.first())}));

        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 15000);
        QVERIFY2(outcome->resolved, qPrintable(outcome->error));
        QVERIFY(outcome->value.next());
        QVERIFY(outcome->value.value(1).toLongLong() != victims.first());
        QCOMPARE(log.count(QtWarningMsg, QStringLiteral("Lost connection to database, reconnecting")), 1);
    }

    void connectionLostOnEveryRunIsRejectedAfterFiveReruns()
    {
        MessageLog log;
        auto connector = startedConnector();
        auto outcome = execute(*connector, QStringLiteral("SELECT SLEEP(30) AS kill_me_always"));

        // Stands in for a query that keeps outrunning the read time-out.
        // A killed connection may linger in the process list for a moment: count each one once.
        QSet<qlonglong> killed;
        QTimer killer;
        killer.setInterval(20);
        connect(&killer, &QTimer::timeout, this, [&] {
            const QList<qlonglong> ids = runningIds(QStringLiteral("kill_me_always"));
            for (qlonglong id : ids) {
                if (!killed.contains(id) && exec({QStringLiteral("KILL %1").arg(id)}))
                    killed.insert(id);
            }
        });
        killer.start();
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 60000);
        killer.stop();

        QVERIFY(!outcome->resolved);
        QVERIFY2(outcome->error.contains(QLatin1String("Lost connection")), qPrintable(outcome->error));
        QCOMPARE(killed.size(), 6);
        QCOMPARE(log.count(QtWarningMsg, QStringLiteral("Lost connection to database, reconnecting")), 6);

        auto nextOutcome = execute(*connector, QStringLiteral("SELECT 1"));
        QTRY_VERIFY(nextOutcome->settled);
        QVERIFY(nextOutcome->resolved);
    }

    void statementOutrunningTheReadTimeOutIsRejectedOnce()
    {
        MessageLog log;
        auto connector = std::make_unique<Connector>(QStringLiteral("test_pool"));
        connector->setConnectionSettings(m_db.host, m_db.port, m_db.user, m_db.password, m_db.database);
        connector->setReadTimeout(std::chrono::seconds(1));
        connector->start();
        auto outcome = execute(*connector, QStringLiteral("SELECT SLEEP(4) AS outruns_the_timeout"));

        // The server goes on with a statement whose client has given up: every run stays in the process
        // list for the whole sleep, so each connection seen running it is one run.
        QSet<qlonglong> runs;
        QTimer sampler;
        sampler.setInterval(20);
        connect(&sampler, &QTimer::timeout, this, [&] {
            const QList<qlonglong> ids = runningIds(QStringLiteral("outruns_the_timeout"));
            for (qlonglong id : ids)
                runs.insert(id);
        });
        sampler.start();
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 15000);
        sampler.stop();

        QVERIFY(!outcome->resolved);
        QVERIFY2(outcome->error.contains(QLatin1String("Lost connection")), qPrintable(outcome->error));
        QCOMPARE(runs.size(), 1);
        QCOMPARE(log.count(QtWarningMsg, QStringLiteral("Query outran the read time-out of 1 s, not run again")), 1);
        QCOMPARE(log.count(QtWarningMsg, QStringLiteral("Lost connection to database, reconnecting")), 0);

        // The connection is opened again for the next request.
        auto nextOutcome = execute(*connector, QStringLiteral("SELECT 1"));
        QTRY_VERIFY(nextOutcome->settled);
        QVERIFY2(nextOutcome->resolved, qPrintable(nextOutcome->error));
        for (qlonglong id : runningIds(QStringLiteral("outruns_the_timeout")))
            exec({QStringLiteral("KILL %1").arg(id)});
    }

    // Workers of several connectors open their connections at the same moment, over and over (the PBX
    // link runs two): every request is answered, and the process survives.
    void connectorsStartedTogetherAllAnswer()
    {
        for (int round = 0; round < 5; ++round) {
            std::vector<std::unique_ptr<Connector>> connectors;
            std::vector<QSharedPointer<RequestOutcome>> outcomes;
            for (int i = 0; i < 6; ++i)
                connectors.push_back(startedConnector(QStringLiteral("together_%1").arg(i)));
            for (auto &connector : connectors)
                outcomes.push_back(execute(*connector, QStringLiteral("SELECT 1")));
            for (const auto &outcome : outcomes) {
                QTRY_VERIFY(outcome->settled);
                QVERIFY2(outcome->resolved, qPrintable(outcome->error));
            }
        }
    }

    void afterConnectQueriesRunBeforeTheFirstRequest()
    {
        MessageLog log;
        Connector connector(QStringLiteral("after_connect"));
        connector.setConnectionSettings(m_db.host, m_db.port, m_db.user, m_db.password, m_db.database);
        connector.addAfterConnectQuery(QStringLiteral("SET @greeting = 'hello'"));
        connector.addAfterConnectQuery(QStringLiteral("SET @greeting = CONCAT(@greeting, ' again')"));
        connector.start();

        auto firstOutcome = execute(connector, QStringLiteral("SELECT @greeting"));
        QTRY_VERIFY(firstOutcome->settled);
        QVERIFY2(firstOutcome->resolved, qPrintable(firstOutcome->error));
        QVERIFY(firstOutcome->value.next());
        QCOMPARE(firstOutcome->value.value(0).toString(), QStringLiteral("hello again"));
        QCOMPARE(log.count(QtDebugMsg, QStringLiteral("Executing: SET @greeting = 'hello'")), 1);
    }

    void withoutRunningWorkerRequestsAreRejected_data()
    {
        QTest::addColumn<bool>("startFirst");
        QTest::addColumn<bool>("waits"); // a request that waits for the next start
        QTest::newRow("never started") << false << false;
        QTest::newRow("stopped") << true << false;
        QTest::newRow("never started, a request that waits") << false << true;
        QTest::newRow("stopped, a request that waits") << true << true;
    }

    void withoutRunningWorkerRequestsAreRejected()
    {
        QFETCH(bool, startFirst);
        MessageLog log;
        Connector connector(QStringLiteral("idle_pool"));
        connector.setConnectionSettings(m_db.host, m_db.port, m_db.user, m_db.password, m_db.database);
        if (startFirst)
            connector.start();
        connector.stop();
        QCOMPARE(log.count(QtDebugMsg, QStringLiteral("SQL connector stopped")), startFirst ? 1 : 0);

        QFETCH(bool, waits);
        Request request(QStringLiteral("SELECT 1"));
        if (waits)
            request.waitForConnection();
        auto outcome = execute(connector, request);
        if (waits) {
            // It runs once the connector starts.
            QTest::qWait(50);
            QVERIFY(!outcome->settled);
            connector.start();
            QTRY_VERIFY(outcome->settled);
            QVERIFY2(outcome->resolved, qPrintable(outcome->error));
            return;
        }
        // Settled before execute returns: nothing is left waiting.
        QVERIFY(outcome->settled);
        QVERIFY(!outcome->resolved);
        QCOMPARE(outcome->error, QStringLiteral("Loop disabled"));
    }

    void stopRunsWhatIsQueuedAndStartAtOnceGivesAFreshWorker()
    {
        auto connector = startedConnector();
        auto openingOutcome = execute(*connector, QStringLiteral("SELECT 1"));
        QTRY_VERIFY(openingOutcome->settled);

        // With the connection open, what is queued at the stop still runs.
        auto queuedOutcome = execute(*connector, QStringLiteral("SELECT SLEEP(0.2), DATABASE()"));
        auto queuedLastOutcome = execute(*connector, QStringLiteral("SELECT 2"));
        connector->stop();

        // The settings changed meanwhile reach the new worker.
        connector->setConnectionSettings(m_db.host, m_db.port, m_db.user, m_db.password,
                                         QStringLiteral("information_schema"));
        connector->start();
        auto freshOutcome = execute(*connector, QStringLiteral("SELECT DATABASE()"));

        QTRY_VERIFY(queuedOutcome->settled);
        QVERIFY2(queuedOutcome->resolved, qPrintable(queuedOutcome->error));
        QTRY_VERIFY(queuedLastOutcome->settled);
        QVERIFY2(queuedLastOutcome->resolved, qPrintable(queuedLastOutcome->error));
        QTRY_VERIFY(freshOutcome->settled);
        QVERIFY2(freshOutcome->resolved, qPrintable(freshOutcome->error));
        QVERIFY(freshOutcome->value.next());
        QCOMPARE(freshOutcome->value.value(0).toString(), QStringLiteral("information_schema"));
    }

    void destroyedConnectorStillAnswersItsRequests()
    {
        auto connector = startedConnector();
        auto openingOutcome = execute(*connector, QStringLiteral("SELECT 1"));
        QTRY_VERIFY(openingOutcome->settled);

        auto slowOutcome = execute(*connector, QStringLiteral("SELECT SLEEP(0.3)"));
        auto nextOutcome = execute(*connector, QStringLiteral("SELECT 'next'"));
        connector.reset();

        // With its connection open, the worker answers what was queued before it ends; on this thread.
        QTRY_VERIFY(slowOutcome->settled);
        QTRY_VERIFY(nextOutcome->settled);
        QVERIFY2(nextOutcome->resolved, qPrintable(nextOutcome->error));
        QCOMPARE(nextOutcome->thread, QThread::currentThread());
        QVERIFY(nextOutcome->value.next());
        QCOMPARE(nextOutcome->value.value(0).toString(), QStringLiteral("next"));
    }

    void startTwiceMakesOneWorker()
    {
        const MariaDbSettings own = MariaDbFixture::createDatabase(QStringLiteral("tst_sqlconnector_single"));
        QVERIFY2(own.isValid(), qPrintable(own.error));
        Connector connector(QStringLiteral("single"));
        connector.setConnectionSettings(own.host, own.port, own.user, own.password, own.database);
        connector.start();
        connector.start();
        auto outcome = execute(connector, QStringLiteral("SELECT 1"));
        QTRY_VERIFY(outcome->settled);
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM information_schema.processlist "
                                       "WHERE db = 'tst_sqlconnector_single'"))
                     .toInt(),
                 1);
    }

    void checkConnection_data()
    {
        QTest::addColumn<bool>("rightPassword");
        QTest::newRow("right password") << true;
        QTest::newRow("wrong password") << false;
    }

    void checkConnection()
    {
        QFETCH(bool, rightPassword);
        Connector connector(QStringLiteral("only_for_check"));
        connector.setConnectionSettings(m_db.host, m_db.port, m_db.user,
                                        rightPassword ? m_db.password : QStringLiteral("wrong"), m_db.database);
        const QStringList before = QSqlDatabase::connectionNames();
        QString error;
        QCOMPARE(connector.checkConnection(error), rightPassword);
        if (rightPassword)
            QVERIFY(error.isEmpty());
        else
            QVERIFY2(error.contains(QLatin1String("Access denied")), qPrintable(error));
        QCOMPARE(QSqlDatabase::connectionNames(), before);
    }
};

QTEST_GUILESS_MAIN(tst_SqlConnector)
#include "tst_sqlconnector.moc"
