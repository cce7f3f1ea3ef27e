// The fake portal is what every CRM test trusts, so it is checked here with plain Qt networking,
// independently of our own HTTP client and encoder.
#include "support/fakecrmform.h"
#include "support/fakecrmserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using Orvix::Tests::FakeCrmForm;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;

namespace {

struct Answer
{
    int status = 0;
    QJsonObject json;
    QByteArray body;
};

Answer waitFor(QNetworkReply *reply)
{
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(5000);
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.json = QJsonDocument::fromJson(answer.body).object();
    reply->deleteLater();
    return answer;
}

QJsonObject parsed(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class tst_FakeCrmServer : public QObject
{
    Q_OBJECT

private:
    Answer get(const QUrl &url)
    {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        return waitFor(m_manager.get(request));
    }

    Answer post(const QUrl &url, const QByteArray &form)
    {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        return waitFor(m_manager.post(request, form));
    }

    QNetworkAccessManager m_manager;

private Q_SLOTS:
    void formParsing_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QByteArray>("json");

        QTest::newRow("plus and %20 are spaces") << QByteArray("a=x+y&b=x%20y") << QByteArray(R"({"a":"x y","b":"x y"})");
        QTest::newRow("utf-8 bytes") << QByteArray("t=%D0%96%D1%83%D0%BA") << QByteArray(R"({"t":"Жук"})");
        QTest::newRow("appended list") << QByteArray("a[]=1&a[]=2") << QByteArray(R"({"a":["1","2"]})");
        QTest::newRow("nested") << QByteArray("f[ID][]=5&f[NAME]=x") << QByteArray(R"({"f":{"ID":["5"],"NAME":"x"}})");
        QTest::newRow("encoded brackets still nest") << QByteArray("cmd%5Bk%5D=v") << QByteArray(R"({"cmd":{"k":"v"}})");
        QTest::newRow("append after integer key") << QByteArray("a[5]=x&a[]=y") << QByteArray(R"({"a":{"5":"x","6":"y"}})");
        QTest::newRow("named then appended") << QByteArray("a[x]=1&a[]=2") << QByteArray(R"({"a":{"x":"1","0":"2"}})");
        QTest::newRow("string replaced by array") << QByteArray("a=1&a[b]=2") << QByteArray(R"({"a":{"b":"2"}})");
        QTest::newRow("last value wins") << QByteArray("a[b]=1&a=2") << QByteArray(R"({"a":"2"})");
        QTest::newRow("dot in name") << QByteArray("a.b=1") << QByteArray(R"({"a_b":"1"})");
        QTest::newRow("unclosed bracket") << QByteArray("a[b=1") << QByteArray(R"({"a_b":"1"})");
        QTest::newRow("text after bracket ignored") << QByteArray("a[b]c=1") << QByteArray(R"({"a":{"b":"1"}})");
        QTest::newRow("no name, no value") << QByteArray("=1&b&&") << QByteArray(R"({"b":""})");
        QTest::newRow("encoded delimiters in value") << QByteArray("q=a%26b%3Dc%2B") << QByteArray(R"({"q":"a&b=c+"})");
    }

    void formParsing()
    {
        QFETCH(QByteArray, encoded);
        QFETCH(QByteArray, json);
        QCOMPARE(FakeCrmForm::parse(encoded), QJsonDocument::fromJson(json).object());
    }

    void restCallIsRecordedAndAnswered()
    {
        FakeCrmServer fake;
        QVERIFY(fake.isListening());
        fake.setAuthMode(FakeCrmServer::AuthMode::AnyToken);
        fake.setRestHandler("user.get", [](const QJsonObject &params) {
            return FakeCrmReply::result(QJsonArray{QJsonObject{{"ID", params.value("ID")}, {"NAME", "Anna"}}}, 1);
        });
        QSignalSpy received(&fake, &FakeCrmServer::requestReceived);

        const Answer answer = post(fake.url("/rest/user.get/?auth=t1"), "ID=42&FILTER[]=a");
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.json.value("result").toArray().at(0).toObject().value("ID").toString(), QString("42"));
        QCOMPARE(answer.json.value("total").toInt(), 1);
        QVERIFY(answer.json.value("time").isObject());

        QCOMPARE(received.count(), 1);
        const FakeCrmRequest request = received.at(0).at(0).value<FakeCrmRequest>();
        QCOMPARE(request.verb, QByteArray("POST"));
        QCOMPARE(request.restMethod(), QString("user.get"));
        QCOMPARE(request.rawQuery, QByteArray("auth=t1"));
        QCOMPARE(request.body, QByteArray("ID=42&FILTER[]=a"));
        QCOMPARE(request.form, parsed(R"({"ID":"42","FILTER":["a"]})"));
        QCOMPARE(request.params().value("auth").toString(), QString("t1"));
        QCOMPARE(request.header("content-type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(fake.restRequests("USER.GET").size(), 1);
    }

    void restAuthorisation_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");

        QTest::newRow("no auth") << "ID=1" << 401 << "NO_AUTH_FOUND";
        QTest::newRow("unknown token") << "auth=nope" << 401 << "invalid_token";
        QTest::newRow("expired token") << "auth=old" << 401 << "expired_token";
        QTest::newRow("valid token, unknown method") << "auth=good&m=1" << 404 << "ERROR_METHOD_NOT_FOUND";
    }

    void restAuthorisation()
    {
        QFETCH(QString, query);
        QFETCH(int, status);
        QFETCH(QString, error);

        FakeCrmServer fake;
        fake.addAccessToken("old");
        fake.expireAccessTokens();
        fake.addAccessToken("good");
        const QString method = query.endsWith("m=1") ? "no.such.method" : "user.get";
        fake.setRestResult("user.get", true);
        const Answer answer = get(fake.url("/rest/" + method + "/?" + query));
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.json.value("error").toString(), error);
        QVERIFY(!answer.json.value("error_description").toString().isEmpty());
    }

    void batchRunsEachCommandThroughTheHandlers()
    {
        FakeCrmServer fake;
        fake.setAuthMode(FakeCrmServer::AuthMode::None);
        fake.setRestHandler("crm.lead.list", [](const QJsonObject &params) {
            return FakeCrmReply::result(QJsonArray{QJsonObject{{"ID", params.value("filter").toObject().value("ID")}}}, 1);
        });
        fake.setRestHandler("crm.lead.get", [](const QJsonObject &) {
            return FakeCrmReply::error(400, "ERROR_NOT_FOUND", "Not found");
        });

        // cmd values carry their own encoded query, so they are encoded twice on the wire.
        const QByteArray form = "halt=0&cmd[b_list]=crm.lead.list%3Ffilter%255BID%255D%3D7"
                                "&cmd[a_get]=crm.lead.get%3Fid%3D1&cmd[c_none]=no.method";
        const Answer answer = post(fake.url("/rest/batch/"), form);
        QCOMPARE(answer.status, 200);
        const QJsonObject batch = answer.json.value("result").toObject();
        QCOMPARE(batch.value("result").toObject().value("b_list").toArray().at(0).toObject().value("ID").toString(),
                 QString("7"));
        QCOMPARE(batch.value("result_total").toObject().value("b_list").toInt(), 1);
        QCOMPARE(batch.value("result_error").toObject().value("a_get").toObject().value("error").toString(),
                 QString("ERROR_NOT_FOUND"));
        QCOMPARE(batch.value("result_error").toObject().value("c_none").toObject().value("error").toString(),
                 QString("ERROR_METHOD_NOT_FOUND"));
        QVERIFY(batch.value("result_next").isArray()); // PHP writes an empty map as []

        const Answer halted = post(fake.url("/rest/batch/"), "halt=1&cmd[a]=crm.lead.get&cmd[b]=crm.lead.list");
        const QJsonObject haltedBatch = halted.json.value("result").toObject();
        QVERIFY(haltedBatch.value("result").isArray());
        QCOMPARE(haltedBatch.value("result_error").toObject().keys(), QStringList{"a"});
    }

    void oauthLoginRefreshAndExpiry()
    {
        FakeCrmServer fake;
        fake.setClientCredentials("app.1", "s3cret");

        const Answer refused = get(fake.url("/oauth/authorize/?USER_LOGIN=admin&USER_PASSWORD=bad&client_id=app.1"));
        QCOMPARE(refused.status, 200);
        QVERIFY(refused.body.contains("errortext"));
        QVERIFY(refused.body.contains("name=\"USER_LOGIN\""));

        const Answer page = get(fake.url("/oauth/authorize/?USER_LOGIN=admin&USER_PASSWORD=secret&client_id=app.1"));
        QCOMPARE(page.status, 200);
        const int start = page.body.indexOf('>', page.body.indexOf("<h1")) + 1;
        const QString code = QString::fromUtf8(page.body.mid(start, page.body.indexOf("</h1>") - start));
        QVERIFY(!code.isEmpty());

        const QString exchange = "/oauth/token/?grant_type=authorization_code&client_id=app.1&client_secret=s3cret&code=";
        QCOMPARE(get(fake.url(exchange + code + "&client_secret=x")).status, 401);
        const Answer token = get(fake.url(exchange + code));
        QCOMPARE(token.status, 200);
        const QString access = token.json.value("access_token").toString();
        QCOMPARE(access, fake.lastAccessToken());
        QCOMPARE(token.json.value("expires_in").toInt(), 3600);
        QCOMPARE(get(fake.url(exchange + code)).json.value("error").toString(), QString("invalid_grant"));

        fake.setRestResult("app.info", QJsonObject{{"ID", "1"}});
        QCOMPARE(get(fake.url("/rest/app.info/?auth=" + access)).status, 200);

        const QString refresh = "/oauth/token/?grant_type=refresh_token&client_id=app.1&client_secret=s3cret&refresh_token=";
        const Answer renewed = get(fake.url(refresh + token.json.value("refresh_token").toString()));
        QCOMPARE(renewed.status, 200);
        QVERIFY(renewed.json.value("access_token").toString() != access);
        QCOMPARE(get(fake.url(refresh + token.json.value("refresh_token").toString())).status, 400);

        fake.expireAccessTokens();
        QCOMPARE(get(fake.url("/rest/app.info/?auth=" + access)).json.value("error").toString(),
                 QString("expired_token"));
    }

    void scriptedRepliesComeFirstAndInOrder()
    {
        FakeCrmServer fake;
        fake.setAuthMode(FakeCrmServer::AuthMode::None);
        fake.setRestResult("profile", QJsonObject{{"ID", "1"}});
        fake.pushRestReply("profile", FakeCrmReply::raw(503, "busy"));
        fake.pushRestReply("profile", FakeCrmReply::error(402, "PAYMENT_REQUIRED", "Payment required").delayed(50));
        fake.setRouteHandler("/moved", [&fake](const FakeCrmRequest &) {
            return FakeCrmReply::redirect(fake.baseUrl() + "/rest/profile/");
        });

        QCOMPARE(get(fake.url("/rest/profile/")).status, 503);
        QCOMPARE(get(fake.url("/rest/profile/")).status, 402);
        QCOMPARE(get(fake.url("/rest/profile/")).status, 200);
        const Answer redirected = get(fake.url("/moved"));
        QCOMPARE(redirected.status, 200);
        QCOMPARE(redirected.json.value("result").toObject().value("ID").toString(), QString("1"));
        // Qt now and then sends the redirected request twice on one connection; only the hops count.
        QVERIFY(!fake.requests("/moved").isEmpty());
        QCOMPARE(fake.requests("/rest/profile/").size(), 4);
    }
};

QTEST_GUILESS_MAIN(tst_FakeCrmServer)
#include "tst_fakecrmserver.moc"
