#include "app/api.h"
#include "config/manager.h"
#include "crm/entity.h"
#include "httpclient/httpclient.h"
#include "support/fakecompanylookupserver.h"
#include "support/promisewatch.h"
#include "utils/settingsmanager.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::Api;
using Orvix::Tests::FakeCompanyLookupServer;

class tst_CompanyLookup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void lookup_data();
    void lookup();
    void refusedWithoutAsking_data();
    void refusedWithoutAsking();
    void unreachableServiceRefuses();

private:
    void configure(bool searchEnabled);

    QTemporaryDir m_dir;
    std::unique_ptr<FakeCompanyLookupServer> m_service;
    QSharedPointer<Orvix::HttpClient::HttpClient> m_http;
};

void tst_CompanyLookup::initTestCase()
{
    QVERIFY(m_dir.isValid());
    Orvix::Utils::Settings::Manager::configName = m_dir.filePath("config.json");
    QFile file(Orvix::Utils::Settings::Manager::configName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("{}");
}

void tst_CompanyLookup::init()
{
    Orvix::Config::Manager::init();
    m_service = std::make_unique<FakeCompanyLookupServer>();
    QVERIFY(m_service->listen());
    Api::setBaseUrl(m_service->baseUrl());
    m_http = QSharedPointer<Orvix::HttpClient::HttpClient>::create();
}

void tst_CompanyLookup::cleanup()
{
    m_http.reset();
    m_service.reset();
    Orvix::Config::Manager::resetForTesting();
}

void tst_CompanyLookup::configure(bool searchEnabled)
{
    const QMap<QString, QString> errors = Orvix::Config::Manager::update(
        QJsonObject{{"App", QJsonObject{{"search_in_2gis", searchEnabled}}},
                    {"Bitrix", QJsonObject{{"host", "https://portal.example.ru"}}}});
    QVERIFY2(errors.isEmpty(), qPrintable(QStringList(errors.values()).join(", ")));
}

void tst_CompanyLookup::lookup_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("address");

    QTest::newRow("company found") << 200
                                   << QByteArray(R"({"name":"Горсвет","address":"Москва, Тверская 1","id":"7"})")
                                   << true << QStringLiteral("Горсвет") << QStringLiteral("Москва, Тверская 1");
    QTest::newRow("other members only") << 200 << QByteArray(R"({"rating":4})") << true << QString() << QString();
    QTest::newRow("empty object") << 200 << QByteArray("{}") << false << QString() << QString();
    QTest::newRow("not JSON") << 200 << QByteArray("<html>busy</html>") << false << QString() << QString();
    QTest::newRow("an array") << 200 << QByteArray(R"([{"name":"x"}])") << false << QString() << QString();
    QTest::newRow("status 201") << 201 << QByteArray(R"({"name":"x","address":"y"})") << false << QString()
                                << QString();
    QTest::newRow("status 500") << 500 << QByteArray(R"({"name":"x","address":"y"})") << false << QString()
                                << QString();
}

void tst_CompanyLookup::lookup()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, found);
    QFETCH(QString, title);
    QFETCH(QString, address);

    configure(true);
    m_service->setReply(status, body);
    Api api(nullptr, Orvix::Config::Manager(), m_http);
    QSignalSpy started(&api, &Api::started);
    api.start();
    QCOMPARE(started.size(), 1);

    const QStringList phones{"79001234567", "+79001234567", "", "4951234567"};
    const auto outcome = Orvix::Tests::watch(api.findCompanyInDoubleGis(phones));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, found);

    // Only the numbers of full length are asked about.
    QCOMPARE(m_service->requests().size(), 1);
    const Orvix::Tests::FakeCompanyLookupRequest request = m_service->requests().first();
    QCOMPARE(request.verb, QByteArray("GET"));
    QCOMPARE(request.path, QStringLiteral("/findCompanyByPhones"));
    const QUrlQuery query = request.query();
    QCOMPARE(query.queryItemValue("domain", QUrl::FullyDecoded), QStringLiteral("https://portal.example.ru"));
    QCOMPARE(query.queryItemValue("provider"), QStringLiteral("2gis"));
    QStringList sent;
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first.startsWith("phones["))
            sent.append(item.second);
    }
    QCOMPARE(sent, QStringList{"79001234567"});

    if (!found)
        return;
    const Orvix::CRM::Entity company = outcome->value;
    QCOMPARE(company.type(), Orvix::CRM::EntityType::DoubleGisCompany);
    QCOMPARE(company.id(), 0);
    QCOMPARE(company.title(), title);
    QCOMPARE(company.address(), address);
    QVERIFY(company.name().isEmpty());
    QVERIFY(company.isValid());
    // All the caller's numbers, not only those asked about; the empty one is no number.
    QCOMPARE(company.phones(), (QStringList{"79001234567", "+79001234567", "4951234567"}));
}

void tst_CompanyLookup::refusedWithoutAsking_data()
{
    QTest::addColumn<bool>("searchEnabled");
    QTest::addColumn<bool>("started");
    QTest::addColumn<QStringList>("phones");

    QTest::newRow("search switched off") << false << true << QStringList{"79001234567"};
    QTest::newRow("before start") << true << false << QStringList{"79001234567"};
    QTest::newRow("no number of full length") << true << true << QStringList{"+79001234567", "101", ""};
    QTest::newRow("no number") << true << true << QStringList{};
}

void tst_CompanyLookup::refusedWithoutAsking()
{
    QFETCH(bool, searchEnabled);
    QFETCH(bool, started);
    QFETCH(QStringList, phones);

    configure(searchEnabled);
    m_service->setReply(200, R"({"name":"x","address":"y"})");
    Api api(nullptr, Orvix::Config::Manager(), m_http);
    if (started)
        api.start();

    const auto outcome = Orvix::Tests::watch(api.findCompanyInDoubleGis(phones));
    // Refused before anything is sent.
    QVERIFY(outcome->rejected);
    QVERIFY(m_service->requests().isEmpty());
}

void tst_CompanyLookup::unreachableServiceRefuses()
{
    configure(true);
    // A port that was free a moment ago: nothing answers there.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    Api::setBaseUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));

    Api api(nullptr, Orvix::Config::Manager(), m_http);
    api.start();
    const auto outcome = Orvix::Tests::watch(api.findCompanyInDoubleGis({"79001234567"}));
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->rejected);
}

QTEST_GUILESS_MAIN(tst_CompanyLookup)
#include "tst_companylookup.moc"
