#include "../actions/httptestclient.h"
#include "actions/connectionscheck.h"
#include "config/manager.h"
#include "webinterface/app.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <functional>
#include <memory>
#include <utility>

using namespace Orvix;

namespace {

// A page of a headless Chromium, driven over its DevTools protocol: answers the digest challenges of
// the service with the configured login and lets every other request through.
class Browser : public QObject
{
public:
    ~Browser() override
    {
        m_socket.close();
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000))
                m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    bool start(const QString &program)
    {
        if (!m_profile.isValid())
            return false;
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                  "--disable-background-networking", "--disable-component-update",
                                  "--disable-sync", "--user-data-dir=" + m_profile.path(),
                                  "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                                  "about:blank"});
        if (!m_process.waitForStarted(30000))
            return false;
        // "DevTools listening on ws://127.0.0.1:<port>/devtools/browser/<id>" on its error output.
        const QRegularExpression listening(QStringLiteral("DevTools listening on ws://127\\.0\\.0\\.1:(\\d+)/"));
        QSignalSpy output(&m_process, &QProcess::readyReadStandardOutput);
        QByteArray printed;
        QRegularExpressionMatch match;
        while (!(match = listening.match(QString::fromUtf8(printed))).hasMatch()) {
            if (!output.wait(30000))
                return false;
            printed += m_process.readAllStandardOutput();
        }
        const int port = match.captured(1).toInt();

        // A page of our own, whose socket address comes with the answer.
        QNetworkAccessManager network;
        QNetworkReply *reply = network.sendCustomRequest(
            QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/json/new?about:blank").arg(port))), "PUT");
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished() && !finished.wait(30000))
            return false;
        const QJsonObject target = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        if (target.value("webSocketDebuggerUrl").toString().isEmpty())
            return false;
        connect(&m_socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) { onMessage(text); });
        QSignalSpy connected(&m_socket, &QWebSocket::connected);
        m_socket.open(QUrl(target.value("webSocketDebuggerUrl").toString()));
        if (!connected.wait(10000))
            return false;
        call("Fetch.enable",
            {{"handleAuthRequests", true}, {"patterns", QJsonArray {QJsonObject {{"urlPattern", "*"}}}}});
        return call("Page.enable").contains("result");
    }

    QJsonObject call(const QString &method, const QJsonObject &params = QJsonObject())
    {
        const int id = send(method, params);
        QSignalSpy received(&m_socket, &QWebSocket::textMessageReceived);
        while (!m_answers.contains(id) && received.wait(30000)) {
        }
        return m_answers.take(id);
    }

    // The value of a JavaScript expression in the page.
    QJsonValue evaluate(const QString &expression)
    {
        return call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}})
            .value("result").toObject().value("result").toObject().value("value");
    }

    int authChallenges = 0;

private:
    int send(const QString &method, const QJsonObject &params)
    {
        const int id = ++m_lastId;
        m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(
            QJsonObject {{"id", id}, {"method", method},
                {"params", params}}).toJson(QJsonDocument::Compact)));
        return id;
    }

    void onMessage(const QString &text)
    {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (message.contains("id")) {
            m_answers.insert(message.value("id").toInt(), message);
            return;
        }
        const QString method = message.value("method").toString();
        const QString requestId = message.value("params").toObject().value("requestId").toString();
        if (method == "Fetch.requestPaused") {
            send("Fetch.continueRequest", {{"requestId", requestId}});
        } else if (method == "Fetch.authRequired") {
            ++authChallenges;
            const QString user = Config::Manager::getString(Config::Manager::WebServer, "user");
            const QString password = Config::Manager::getString(Config::Manager::WebServer, "password");
            send("Fetch.continueWithAuth",
                 {{"requestId", requestId},
                  {"authChallengeResponse",
                   QJsonObject{{"response", "ProvideCredentials"}, {"username", user}, {"password", password}}}});
        }
    }

    QTemporaryDir m_profile;
    QProcess m_process;
    QWebSocket m_socket;
    int m_lastId = 0;
    QHash<int, QJsonObject> m_answers;
};

} // namespace

class tst_ConfigPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void pageWithoutDigest();
    void browserLoadsAndSaves();
    void pageTimesOut();

private:
    bool m_answerConfig = true;
    int m_linksWait = 0;
    // Set: the checks' answer waits in m_heldChecks until the test gives it.
    bool m_holdChecks = false;
    std::function<void()> m_heldChecks;
    QJsonObject m_checked; // the settings the last checks were asked with
    std::unique_ptr<Tests::HttpTestClient> m_client;
    std::unique_ptr<WebInterface::App> m_app;
    std::unique_ptr<Actions::ConnectionsCheck> m_checks;
};

void tst_ConfigPage::initTestCase()
{
    m_client = std::make_unique<Tests::HttpTestClient>();
    QVERIFY(m_client->isListening());
    m_app = std::make_unique<WebInterface::App>();
    m_app->setStaticDirectory(QStringLiteral(WEBINTERFACE_STATIC_DIR));
    connect(m_app.get(), &WebInterface::App::getConfigRequest, this,
            [this](Utils::Promise<QJsonObject> promise) {
                if (m_answerConfig)
                    promise.resolve(Config::Manager::toJson());
            });
    connect(m_app.get(), &WebInterface::App::getCheckStatusRequest, this, [](Utils::Promise<QJsonObject> promise) {
        promise.resolve(QJsonObject{{"database", QJsonObject{{"status", 0}, {"message", "Connected"}}},
                                    {"asterisk", QJsonObject{{"status", 3}, {"message", "Login refused"}}},
                                    {"bitrix", QJsonObject{{"status", 0}, {"message", "Portal answers"}}},
                                    {"network", QJsonObject{{"status", -1}, {"message", "Not checked"}}},
                                    {"general", QJsonObject{{"status", 3}, {"message", "Not configured"}}}});
    });
    connect(m_app.get(), &WebInterface::App::restartWaitRequest, this,
            [this](Utils::Promise<int> promise) { promise.resolve(m_linksWait); });
    // The page's "Run checks": every check answers, each with a text of its own; the database check, as the
    // service's, with the host it was given instead of the saved one.
    m_checks = std::make_unique<Actions::ConnectionsCheck>();
    connect(m_checks.get(), &Actions::ConnectionsCheck::request, this,
            [this](Utils::Promise<QJsonObject> promise, const QJsonObject &settings) {
                m_checked = settings;
                QJsonObject results;
                for (const char *check : {"database", "asterisk", "bitrix", "network", "general"})
                    results.insert(check, QJsonObject{{"status", 0}, {"message", QStringLiteral("ran %1").arg(check)}});
                const QString host = settings.value("Database").toObject().value("host").toString();
                if (host != Config::Manager::getString(Config::Manager::Database, "host"))
                    results.insert("database", QJsonObject{{"status", 2}, {"message", "Cannot reach " + host}});
                if (m_holdChecks)
                    m_heldChecks = [promise, results] { promise.resolve(results); };
                else
                    promise.resolve(results);
            });
}

void tst_ConfigPage::pageWithoutDigest()
{
    QCOMPARE(m_client->request("/config", false).status, 401);
    QCOMPARE(m_client->request("/config", false, R"({"WebServer": {"user": "intruder"}})").status, 401);
    QCOMPARE(Config::Manager::getString(Config::Manager::WebServer, "user"), QStringLiteral("admin"));
    // Nor does a form another site makes the browser post, cached credentials and all.
    const Tests::HttpAnswer form = m_client->request("/config", true, "WebServer%5Buser%5D=intruder",
                                                     "application/x-www-form-urlencoded");
    QCOMPARE(form.status, 415);
    QCOMPARE(Config::Manager::getString(Config::Manager::WebServer, "user"), QStringLiteral("admin"));

    // With digest: the page, whose data block cannot be ended early by a value.
    QVERIFY(Config::Manager::update(
                QJsonObject{{"App", QJsonObject{{"customizer_program_path", "</script><script>alert(1)"}}}})
                .isEmpty());
    const Tests::HttpAnswer page = m_client->request("/config", true);
    QCOMPARE(page.status, 200);
    QVERIFY(page.contentType.startsWith("text/html"));
    QVERIFY(page.body.contains("\\u003c/script>\\u003cscript>alert(1)"));
    QVERIFY(!page.body.contains("</script><script>alert"));
    QVERIFY(!page.body.contains("/*PAGE_DATA*/"));
    QVERIFY(Config::Manager::update(QJsonObject{{"App", QJsonObject{{"customizer_program_path", "./customizer.php"}}}})
                .isEmpty());
}

void tst_ConfigPage::browserLoadsAndSaves()
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        QSKIP("chromium is not installed (scripts/setup installs it where it can)");
    Browser browser;
    QVERIFY(browser.start(chromium));
    QSignalSpy changed(m_app.get(), &WebInterface::App::configChanged);
    // Saved secrets, which the page must never hold: it would send them wherever a typed address points.
    QVERIFY(Config::Manager::update(QJsonObject{{"Asterisk", QJsonObject{{"password", "ami-S3cret"}}},
                                                {"Bitrix", QJsonObject{{"user_password", "crm-S3cret"}}},
                                                {"Database", QJsonObject{{"password", "db-S3cret"}}}})
                .isEmpty());

    browser.call("Page.navigate", {{"url", m_client->url("/config").toString()}});
    QTRY_VERIFY_WITH_TIMEOUT(browser.evaluate("document.body && document.body.dataset.ready") == QJsonValue("true"),
                             30000);
    QVERIFY(browser.authChallenges > 0);
    QCOMPARE(browser.evaluate("document.documentElement.outerHTML.includes('S3cret') || "
                              "Array.from(document.querySelectorAll('input')).some(i => i.value.includes('S3cret'))"),
             QJsonValue(false));
    QCOMPARE(browser.evaluate("document.getElementById('f-Asterisk-password').placeholder"),
             QJsonValue("Saved: type a new one to replace it"));

    // What is filled in first on top, then every section; every key with a line of help; every check
    // with its last status, one not run yet neither passed nor failed.
    QCOMPARE(browser.evaluate("Array.from(document.querySelectorAll('section')).map(s => s.dataset.section).join()"),
             QJsonValue("first,App,Asterisk,Bitrix,Database,WebServer"));
    QCOMPARE(browser.evaluate("Array.from(document.querySelectorAll('section[data-section=first] [name]'))"
                              ".map(i => i.name).join()"),
             QJsonValue("Bitrix.host,Bitrix.user_login,Bitrix.user_password,Asterisk.user,Asterisk.password,"
                        "Database.host,Database.user,Database.password"));
    QCOMPARE(browser.evaluate("Array.from(document.querySelectorAll('.field')).filter(f => "
                              "f.querySelector('.help').textContent.length > 20).length"),
             QJsonValue(60));
    QCOMPARE(browser.evaluate("document.getElementById('f-WebServer-listen_port').type"), QJsonValue("number"));
    QCOMPARE(browser.evaluate("document.getElementById('f-WebServer-use_http').type"), QJsonValue("checkbox"));
    QCOMPARE(browser.evaluate("document.getElementById('f-WebServer-password').type"), QJsonValue("password"));
    QCOMPARE(browser.evaluate("Array.from(document.querySelectorAll('.check')).map(c => c.dataset.check + ':' + "
                              "c.className).join()"),
             QJsonValue("asterisk:check failed,bitrix:check ok,database:check ok,general:check failed,"
                        "network:check unknown"));

    // Values the configuration refuses: each shown next to its key, nothing changes.
    const auto errorBeside = [&browser](const char *id) {
        return browser.evaluate(QStringLiteral("document.querySelector('#%1').parentNode.querySelector('.error')"
                                               ".textContent").arg(id));
    };
    for (const auto &[port, error] : {std::pair{"1e12", "Expected a whole number"},
                                      std::pair{"99999", "A port is a number from 1 to 65535"}}) {
        browser.evaluate(QStringLiteral("document.getElementById('f-WebServer-listen_port').value = '%1';"
                                        "document.getElementById('f-App-log_level').value = 'loud';"
                                        "document.getElementById('save').click()").arg(port));
        QTRY_COMPARE_WITH_TIMEOUT(errorBeside("f-WebServer-listen_port"), QJsonValue(error), 30000);
        QCOMPARE(errorBeside("f-App-log_level"), QJsonValue("One of: debug, info, warning, critical, fatal"));
    }
    QCOMPARE(Config::Manager::getInt(Config::Manager::WebServer, "listen_port"), 8077);
    QCOMPARE(Config::Manager::getString(Config::Manager::App, "log_level"), QStringLiteral("debug"));
    QCOMPARE(changed.count(), 0);

    // A good change is held by the configuration and announced.
    browser.evaluate("document.getElementById('f-WebServer-listen_port').value = '8077';"
                     "document.getElementById('f-App-log_level').value = 'debug';"
                     "document.getElementById('f-WebServer-address_ext').value = 'pbx.example.com';"
                     "document.getElementById('f-App-no_lead_mode').click();"
                     "document.getElementById('save').click()");
    QTRY_COMPARE_WITH_TIMEOUT(browser.evaluate("document.getElementById('message').textContent"),
                              QJsonValue("Saved: applied now (the PBX and CRM links restart)"), 30000);
    QCOMPARE(Config::Manager::getString(Config::Manager::WebServer, "address_ext"), QStringLiteral("pbx.example.com"));
    QCOMPARE(Config::Manager::getBool(Config::Manager::App, "no_lead_mode"), true);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(browser.evaluate("document.querySelectorAll('.field.invalid').length"), QJsonValue(0));

    // A key read only at the service's start says so.
    browser.evaluate("document.getElementById('f-WebServer-listen_port').value = '8090';"
                     "document.getElementById('save').click()");
    QTRY_COMPARE_WITH_TIMEOUT(browser.evaluate("document.getElementById('message').textContent"),
                              QJsonValue("Saved: WebServer.listen_port takes effect when the service is restarted"),
                              30000);

    // While the links wait for their restart after a loss, the page says when the change applies.
    m_linksWait = 42;
    browser.evaluate("document.getElementById('f-App-no_lead_mode').click();"
                     "document.getElementById('save').click()");
    QTRY_COMPARE_WITH_TIMEOUT(browser.evaluate("document.getElementById('message').textContent"),
                              QJsonValue("Saved; the PBX and CRM links wait for their restart after a lost "
                                         "connection: the change applies at it, in 42 s"),
                              30000);
    m_linksWait = 0;

    // A portal address copied from the browser's address bar is kept as its scheme, host and port, and said so.
    browser.evaluate("document.getElementById('f-Bitrix-host').value = 'https://company.bitrix24.ru/crm/deal/list/';"
                     "document.getElementById('save').click()");
    QTRY_COMPARE_WITH_TIMEOUT(Config::Manager::getString(Config::Manager::Bitrix, "host"),
                              QStringLiteral("https://company.bitrix24.ru"), 30000);
    QCOMPARE(browser.evaluate("(h => h.value + ' ' + h.parentNode.querySelector('.error').textContent)"
                              "(document.getElementById('f-Bitrix-host'))"),
             QJsonValue("https://company.bitrix24.ru Kept as https://company.bitrix24.ru: a portal address is its "
                        "scheme, host and port"));

    // An on-site portal over plain HTTP is taken, and the save and the portal's card say what that means.
    browser.evaluate("document.getElementById('f-Bitrix-host').value = 'http://crm.office.example';"
                     "document.getElementById('save').click()");
    QTRY_VERIFY_WITH_TIMEOUT(browser.evaluate("document.getElementById('message').textContent").toString().endsWith(
                                 "; the CRM login and password travel unencrypted to http://crm.office.example"),
                             30000);
    QCOMPARE(Config::Manager::getString(Config::Manager::Bitrix, "host"), QStringLiteral("http://crm.office.example"));
    browser.evaluate("document.getElementById('f-Bitrix-host').dispatchEvent(new Event('input', {bubbles: true}))");
    QCOMPARE(browser.evaluate("document.querySelector('.check[data-check=bitrix] .warning').textContent"),
             QJsonValue("The CRM login and password travel unencrypted to http://crm.office.example"));

    // A database host typed and not saved: its green card no longer stands for the form, and the checks test
    // the host typed, not the saved one.
    const QString card = QStringLiteral("(c => c.className + ':' + c.querySelector('.detail').textContent)"
                                        "(document.querySelector('.check[data-check=database]'))");
    browser.evaluate("for (const [id, value] of [['Database-host', 'db.company.example'], "
                     "['Asterisk-host', '192.0.2.5'], ['Bitrix-host', 'other.bitrix24.ru']]) {"
                     "const host = document.getElementById('f-' + id); host.value = value;"
                     "host.dispatchEvent(new Event('input', {bubbles: true})); }");
    QCOMPARE(browser.evaluate(card),
             QJsonValue("check unknown:Changed: run the checks for the values in the form"));
    browser.evaluate("document.getElementById('run-checks').click()");
    QTRY_COMPARE_WITH_TIMEOUT(browser.evaluate(card), QJsonValue("check failed:Cannot reach db.company.example"),
                              30000);
    QCOMPARE(browser.evaluate("document.getElementById('message').textContent"),
             QJsonValue("Checks done with the values in the form, which are not saved yet"));
    // The typed addresses went to the checks, and not one of the saved secrets with them.
    QCOMPARE(m_checked.value("Asterisk").toObject().value("host"), QJsonValue("192.0.2.5"));
    QVERIFY2(!QJsonDocument(m_checked).toJson().contains("S3cret"), QJsonDocument(m_checked).toJson().constData());
    browser.evaluate("document.getElementById('f-Database-host').value = ''");

    // "Run checks" runs them all and fills every card with its answer.
    browser.evaluate("document.getElementById('run-checks').click()");
    QTRY_COMPARE_WITH_TIMEOUT(
        browser.evaluate("Array.from(document.querySelectorAll('.check')).map(c => c.dataset.check + ':' + "
                         "c.className + ':' + c.querySelector('.detail').textContent).join()"),
        QJsonValue("asterisk:check ok:ran asterisk,bitrix:check ok:ran bitrix,database:check ok:ran database,"
                   "general:check ok:ran general,network:check ok:ran network"),
        30000);

    // A value typed while the checks run: their answer, for the value before, shows no green for it.
    m_holdChecks = true;
    browser.evaluate("document.getElementById('run-checks').click()");
    QTRY_VERIFY_WITH_TIMEOUT(bool(m_heldChecks), 30000);
    browser.evaluate("(h => { h.value = 'db2.company.example'; h.dispatchEvent(new Event('input', {bubbles: true})); })"
                     "(document.getElementById('f-Database-host'))");
    m_holdChecks = false;
    std::exchange(m_heldChecks, {})();
    QTRY_COMPARE_WITH_TIMEOUT(browser.evaluate("document.getElementById('run-checks').disabled"), QJsonValue(false),
                              30000);
    QCOMPARE(browser.evaluate(card), QJsonValue("check unknown:Changed: run the checks for the values in the form"));
    QCOMPARE(browser.evaluate("document.querySelector('.check[data-check=asterisk]').className"),
             QJsonValue("check ok"));
    // Every save left the secrets it was not given as they were.
    QCOMPARE(Config::Manager::getString(Config::Manager::Asterisk, "password"), QStringLiteral("ami-S3cret"));
}

void tst_ConfigPage::pageTimesOut()
{
    // The service never answering for its configuration must not hold the browser.
    m_answerConfig = false;
    m_app->setTimeout(std::chrono::milliseconds(100));
    const Tests::HttpAnswer page = m_client->request("/config", true);
    m_answerConfig = true;
    QCOMPARE(page.status, 504);
    QCOMPARE(page.json(), QJsonObject({{"error", "Timeout"}}));
}

QTEST_GUILESS_MAIN(tst_ConfigPage)
#include "tst_configpage.moc"
