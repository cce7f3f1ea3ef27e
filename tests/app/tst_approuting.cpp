#include "apptestsupport.h"
#include "config/generateddirectory.h"
#include "entities/call.h"
#include "entities/conversation.h"
#include "httpserver/accessfailures.h"
#include "websocketserver/server.h"

#include <QAuthenticator>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>
#include <QWebSocket>
#include <QtTest>

using Orvix::Tests::FakeAmiServer;
using Orvix::Utils::Promise;

// What the App hands from one part to another: the portal's and the clients' requests to the PBX and the
// CRM, the PBX's call events to the CRM and the WebSocket clients, the CRM's questions to the customizer,
// and the answers when the PBX is away. Its links' start, loss and restarts are tst_app's.
class tst_AppRouting : public AppTestCase
{
    Q_OBJECT

public:
    tst_AppRouting()
        : AppTestCase(QStringLiteral("_tst_approuting"))
    {
    }

private Q_SLOTS:
    void init() { initApp(); }
    void cleanup() { cleanupApp(); }
    void callStartMessage_data();
    void callStartMessage();
    void callControlWithoutPbxSaysWhy_data();
    void callControlWithoutPbxSaysWhy();
    void authenticationNeverLogsThePassword_data();
    void authenticationNeverLogsThePassword();
    void originateCustomization_data();
    void originateCustomization();
    void crmCustomization_data();
    void crmCustomization();
    void clickToCall_data();
    void clickToCall();
    void callEventsReachCrmAndWebSockets();
    void routesReachTheirWork_data();
    void routesReachTheirWork();

private:
    QString writeScript(const QByteArray &script);
    // Posts body as JSON to the route with the operator's login (kept by network for later requests): the
    // status of the answer, 0 when none came, and its object.
    int postAsOperator(QNetworkAccessManager &network, quint16 port, const QString &route, const QJsonObject &body,
                       QJsonObject *answer);
};

int tst_AppRouting::postAsOperator(QNetworkAccessManager &network, quint16 port, const QString &route,
                            const QJsonObject &body, QJsonObject *answer)
{
    connect(&network, &QNetworkAccessManager::authenticationRequired, this,
            [](QNetworkReply *, QAuthenticator *authenticator) {
                authenticator->setUser(QStringLiteral("operator"));
                authenticator->setPassword(QStringLiteral("Pa55-word"));
            });
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(route)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = network.post(request, QJsonDocument(body).toJson());
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!finished.wait(20000))
        return 0;
    reply->deleteLater();
    *answer = QJsonDocument::fromJson(reply->readAll()).object();
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QString tst_AppRouting::writeScript(const QByteArray &script)
{
    const QString program = m_dir.filePath("customizer.sh");
    QFile file(program);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write("#!/bin/sh\n" + script + '\n');
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return program;
}

void tst_AppRouting::callStartMessage_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");

    QTest::newRow("incoming names the caller")
        << int(Orvix::Entities::CallType::Incoming)
        << "Incoming call started [X] to the number [100] through the trunk [T]";
    QTest::newRow("outgoing names the callee")
        << int(Orvix::Entities::CallType::Outgoing)
        << "Outgoing call started [X] to the number [200] through the trunk [T]";
    QTest::newRow("unknown is local") << int(Orvix::Entities::CallType::Unknown)
                                      << "Local call started [X] to the number [200] through the trunk [T]";
    QTest::newRow("local") << int(Orvix::Entities::CallType::Local)
                           << "Local call started [X] to the number [200] through the trunk [T]";
}

void tst_AppRouting::callStartMessage()
{
    QFETCH(int, type);
    QFETCH(QString, expected);

    Orvix::Entities::Call call(QStringLiteral("X"));
    call.setFrom(QStringLiteral("100"), false);
    call.setTo(QStringLiteral("200"), true);
    call.setTrunk(QStringLiteral("T"));
    call.setType(static_cast<Orvix::Entities::CallType>(type));
    QCOMPARE(Orvix::App::callStartMessage(call), expected);
}

void tst_AppRouting::callControlWithoutPbxSaysWhy_data()
{
    QTest::addColumn<QString>("route");
    QTest::addColumn<QJsonObject>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("failure"); // the answer's error up to the seconds; %1: the manager port

    const QString noPbx =
        QStringLiteral(": no connection to Asterisk at 127.0.0.1:%1 (connection refused); next try in ");
    QTest::newRow("originate") << "/originate" << QJsonObject{{"from", "101"}, {"to", "84951112233"}} << 502
                               << "Originate failed" + noPbx;
    QTest::newRow("hangup") << "/hangup" << QJsonObject{{"number", "101"}} << 502 << "Hangup failed" + noPbx;
    QTest::newRow("transfer") << "/transfer" << QJsonObject{{"number", "101"}, {"to", "102"}} << 502
                              << "Transfer failed" + noPbx;
    QTest::newRow("redirect") << "/forward" << QJsonObject{{"channel_id", "1.0"}, {"to", "102"}} << 502
                              << "Redirect failed" + noPbx;
    // The portal answers, but the lost PBX stopped the CRM link too: the PBX is named, never the portal.
    const QString pbxLost = QStringLiteral("the PBX connection was lost; the links restart in ");
    QTest::newRow("responsible user from the portal")
        << "/get_responsible_data" << QJsonObject{{"phone", "84951112233"}} << 503 << pbxLost;
    QTest::newRow("source list from the portal") << "/get_source_list" << QJsonObject() << 502
                                                 << "Source list unavailable: " + pbxLost;
    QTest::newRow("any CRM method") << "/custom_crm_request" << QJsonObject{{"method", "user.current"}} << 502
                                    << "CRM request failed: " + pbxLost;
    QTest::newRow("SQL on the PBX's database") << "/execute_sql" << QJsonObject{{"sql", "select 1"}} << 502
                                               << pbxLost;
    // The database answers, but its link is down until the links run again: that is why.
    QTest::newRow("recording of a call") << "/get_conversation_recording"
                                         << QJsonObject{{"id", "1700000000.1"}, {"from", "84951112233"}, {"to", "101"}}
                                         << 503 << "Recording unavailable: " + pbxLost;
}

// With the PBX away the answer comes at once and says where, why, and when the PBX is tried again.
void tst_AppRouting::callControlWithoutPbxSaysWhy()
{
    QFETCH(QString, route);
    QFETCH(QJsonObject, body);
    QFETCH(int, status);
    QFETCH(QString, failure);
    const quint16 port = m_ami->port();
    m_ami.reset();
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    app->start();
    QTRY_VERIFY_WITH_TIMEOUT(app->isRestartPending(), 10000);
    QVERIFY(app->httpServer().listen(QStringLiteral("127.0.0.1"), 0, true));

    // A recording is given only for the link the service wrote, signed with this run's key.
    if (route == QLatin1String("/get_conversation_recording"))
        body.insert(QStringLiteral("sig"), Orvix::Config::GeneratedDirectory::recordingSignature(
                                               body.value("id").toString(), body.value("from").toString(),
                                               body.value("to").toString()));
    QNetworkAccessManager network;
    QJsonObject answer;
    QCOMPARE(postAsOperator(network, app->httpServer().port(), route, body, &answer), status);
    const QString error = answer.value("error").toString();
    const QString expected = failure.contains("%1") ? failure.arg(port) : failure;
    const int seconds = error.mid(expected.size()).chopped(2).toInt();
    QVERIFY2(error.startsWith(expected) && error.endsWith(" s") && seconds >= 1 && seconds <= 60, qPrintable(error));
}

void tst_AppRouting::authenticationNeverLogsThePassword_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("status");

    QTest::newRow("right user and password") << "operator" << "Pa55-word" << 200;
    QTest::newRow("right user, wrong password") << "operator" << "guess-word" << 401;
    QTest::newRow("wrong user") << "intruder" << "Pa55-word" << 401;
    QTest::newRow("password differs in case") << "operator" << "pa55-word" << 401;
}

void tst_AppRouting::authenticationNeverLogsThePassword()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, status);

    // Each row's failure is the first of its minute.
    Orvix::HttpServer::AccessFailures::setInterval(std::chrono::milliseconds(0));
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(app->httpServer().listen(QStringLiteral("127.0.0.1"), 0, true));
    const QJsonObject configBefore = config.toJson();

    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/auth").arg(app->httpServer().port())));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = network.post(
        request, QJsonDocument(QJsonObject{{"user", user}, {"password", password}}).toJson(QJsonDocument::Compact));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    const int answer = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->deleteLater();

    QCOMPARE(answer, status);
    QCOMPARE(recordedMessages().filter(QStringLiteral("Получен запрос авторизации: %1").arg(user)).size(),
             status == 200 ? 1 : 0);
    QCOMPARE(recordedMessages().filter(QStringLiteral("Попытка авторизоваться")).size(), status == 200 ? 0 : 1);
    QVERIFY2(recordedMessages().filter(password, Qt::CaseInsensitive).isEmpty(), qPrintable(recordedMessages().join('\n')));
}

void tst_AppRouting::originateCustomization_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: no program configured
    QTest::addColumn<QString>("channel");

    QTest::newRow("no program") << QByteArray() << QStringLiteral("SIP/101");
    QTest::newRow("script rewrites the channel")
        << QByteArray(R"sh(printf '{"state":"success","data":%s}' "$(printf '%s' "$2" | sed 's|SIP/101|SIP/7101|')")sh")
        << QStringLiteral("SIP/7101");
    QTest::newRow("failing script: the call goes out as asked")
        << QByteArray("echo 'out of order' >&2; exit 3") << QStringLiteral("SIP/101");
}

void tst_AppRouting::originateCustomization()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, channel);

    QString program;
    if (!script.isEmpty()) {
        program = m_dir.filePath("customizer.sh");
        QFile file(program);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + script + '\n');
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    Orvix::Config::Manager config;
    QVERIFY(config.update(QJsonObject{{"App", QJsonObject{{"customizer_program_path", program},
                                                          {"customization_time_msec", 20000}}}})
                .isEmpty());
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));

    bool done = false;
    app->pbx().originate(QStringLiteral("101"), QStringLiteral("84951112233"), QStringLiteral("5"))
        .onResolve([&done] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 30000);
    const FakeAmiServer::Frame frame = m_ami->frames(QStringLiteral("Originate")).last();
    QCOMPARE(frame.value(QStringLiteral("Channel")), channel);
    QCOMPARE(frame.value(QStringLiteral("Exten")), QStringLiteral("84951112233"));
}

void tst_AppRouting::crmCustomization_data()
{
    QTest::addColumn<QString>("hook");
    QTest::addColumn<bool>("failing");

    const QStringList hooks{"phone",  "search params", "final params", "entity creation",
                            "task",   "lead fields",   "activity fields"};
    for (const QString &hook : hooks) {
        QTest::addRow("%s: rewritten by the script", qPrintable(hook)) << hook << false;
        QTest::addRow("%s: kept when the script fails", qPrintable(hook)) << hook << true;
    }
}

// Every CRM step asks the customizer through the App; a failing script leaves the step its own input.
void tst_AppRouting::crmCustomization()
{
    QFETCH(QString, hook);
    QFETCH(bool, failing);

    const QString program = writeScript(
        failing ? QByteArray("echo 'no licence' >&2; exit 3")
                : QByteArray(R"sh(printf '{"state":"success","action":"register","data":{"phone":"7000","custom":"yes"}}')sh"));
    QVERIFY(!program.isEmpty());
    Orvix::Config::Manager config;
    QJsonObject app{{"customizer_program_path", program}, {"customization_time_msec", 20000}};
    for (const char *key : {"customize_search_params", "customize_final_params", "customize_entity",
                            "customize_activity", "customize_task"})
        app.insert(key, true);
    QVERIFY(config.update(QJsonObject{{"App", app}}).isEmpty());
    const auto instance = makeApp(config);
    Orvix::CRM::Bitrix::API &crm = instance->crm();

    if (hook == QLatin1String("phone")) {
        Promise<QString, QString> promise;
        QString result;
        promise.onResolve([&result](const QString &phone) { result = phone; });
        Q_EMIT crm.phoneCustomizationRequest(QStringLiteral("84951112233"), promise);
        QTRY_VERIFY_WITH_TIMEOUT(!result.isEmpty(), 30000);
        QCOMPARE(result, failing ? QStringLiteral("84951112233") : QStringLiteral("7000"));
        return;
    }

    using Signal = void (Orvix::CRM::Bitrix::API::*)(const QJsonObject &, Promise<QJsonObject, QString>);
    const QHash<QString, Signal> signalOf{
        {"search params", &Orvix::CRM::Bitrix::API::searchParamsCustomizationRequest},
        {"final params", &Orvix::CRM::Bitrix::API::finalParamsCustomizationRequest},
        {"entity creation", &Orvix::CRM::Bitrix::API::createEntityCustomizationRequest},
        {"task", &Orvix::CRM::Bitrix::API::taskAddCustomizationRequest},
        {"lead fields", &Orvix::CRM::Bitrix::API::leadFieldsCustomizationRequest},
        {"activity fields", &Orvix::CRM::Bitrix::API::activityFieldsCustomizationRequest},
    };
    const QJsonObject input{{"PHONE", "84951112233"}, {"TITLE", "Incoming call"}};
    Promise<QJsonObject, QString> promise;
    bool settled = false;
    bool rejected = false;
    QJsonObject result;
    promise.onResolve([&](const QJsonObject &value) {
        settled = true;
        result = value;
    });
    promise.onReject([&](const QString &) { settled = rejected = true; });
    Q_EMIT(crm.*signalOf.value(hook))(input, promise);
    QTRY_VERIFY_WITH_TIMEOUT(settled, 30000);
    QVERIFY(!rejected);
    const QJsonObject rewritten{{"phone", "7000"}, {"custom", "yes"}};
    QCOMPARE(result, failing ? input : rewritten);
}

void tst_AppRouting::clickToCall_data()
{
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QJsonArray>("users");   // what the portal knows of the user
    QTest::addColumn<QString>("channel");    // of the Originate, empty: none
    QTest::addColumn<bool>("pbxRefuses");    // answers every Originate with an error
    QTest::addColumn<QString>("warning");    // the one warning logged for the case; empty: none

    const QJsonObject withPhones{{"ID", "7"}, {"UF_PHONE_INNER", "101"}, {"WORK_PHONE", "+74950000101"}};
    const QJsonObject withoutPhones{{"ID", "7"}, {"NAME", "Ivan"}};
    QTest::newRow("the user's shortest phone calls first") << "7" << "84951112233" << QJsonArray{withPhones}
                                                           << "SIP/101" << false << "";
    QTest::newRow("a user without phones calls nobody") << "7" << "84951112233" << QJsonArray{withoutPhones}
                                                        << "" << false << "User [7] hasn't any number";
    QTest::newRow("user 0 sends nothing") << "0" << "84951112233" << QJsonArray{withPhones} << "" << false << "";
    QTest::newRow("a blank phone sends nothing") << "7" << "  " << QJsonArray{withPhones} << "" << false << "";
    QTest::newRow("a call the PBX refuses names the employee and the number")
        << "7" << "84951112233" << QJsonArray{withPhones} << "SIP/101" << true
        << "Click-to-call of user [7] (101) to [84951112233] is not dialled: ";
}

// The portal's click-to-call event: a control event for another employee follows each case, so that
// "nothing" is seen once the control call went out.
void tst_AppRouting::clickToCall()
{
    QFETCH(QString, userId);
    QFETCH(QString, phone);
    QFETCH(QJsonArray, users);
    QFETCH(QString, channel);
    QFETCH(bool, pbxRefuses);
    QFETCH(QString, warning);

    m_portal->setRestHandler(QStringLiteral("user.get"), [users](const QJsonObject &params) {
        const QString id = params.value("filter").toObject().value("ID").toString();
        if (id == QLatin1String("8"))
            return Orvix::Tests::FakeCrmReply::result(QJsonArray{QJsonObject{{"ID", "8"}, {"UF_PHONE_INNER", "102"}}});
        return Orvix::Tests::FakeCrmReply::result(id == QLatin1String("7") ? users : QJsonArray());
    });
    if (pbxRefuses)
        m_ami->setReply(QStringLiteral("Originate"), QStringLiteral("Error"), QStringLiteral("No such extension"));
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));
    QVERIFY(app->httpServer().listen(QStringLiteral("127.0.0.1"), 0, true));
    const QJsonObject configBefore = config.toJson();

    QNetworkAccessManager network;
    const auto send = [&](const QString &user, const QString &number) {
        QUrlQuery form;
        form.addQueryItem(QStringLiteral("event"), QStringLiteral("ONEXTERNALCALLSTART"));
        form.addQueryItem(QStringLiteral("data[USER_ID]"), user);
        form.addQueryItem(QStringLiteral("data[PHONE_NUMBER]"), number);
        form.addQueryItem(QStringLiteral("data[CALL_ID]"), QStringLiteral("externalCall.c2c"));
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1/events/external_call_start?key=%2")
                     .arg(app->httpServer().port())
                     .arg(Orvix::Config::GeneratedDirectory::eventKey())));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QNetworkReply *reply = network.post(request, form.toString(QUrl::FullyEncoded).toUtf8());
        QSignalSpy finished(reply, &QNetworkReply::finished);
        const bool answered = finished.wait(10000);
        reply->deleteLater();
        return answered && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
    };
    QVERIFY(send(userId, phone));
    QVERIFY(send(QStringLiteral("8"), QStringLiteral("84950000000")));

    QTRY_VERIFY_WITH_TIMEOUT(!m_ami->frames(QStringLiteral("Originate")).isEmpty()
                                 && m_ami->frames(QStringLiteral("Originate")).last().value("Exten")
                                     == QLatin1String("84950000000"),
                             10000);
    const QList<FakeAmiServer::Frame> originates = m_ami->frames(QStringLiteral("Originate"));
    QCOMPARE(originates.size(), channel.isEmpty() ? 1 : 2);
    if (!channel.isEmpty()) {
        QCOMPARE(originates.first().value("Channel"), channel);
        QCOMPARE(originates.first().value("Exten"), phone);
    }
    // The control call's refusal comes last: this case's warning, if any, is in by then.
    if (pbxRefuses)
        QTRY_COMPARE(messageCount(QtWarningMsg, QStringLiteral("to [84950000000] is not dialled")), 1);
    const QStringList warnings =
        recordedMessages().filter(QRegularExpression(QStringLiteral("hasn't any number|to \\[%1\\] is not dialled")
                                                         .arg(QRegularExpression::escape(phone))));
    QCOMPARE(warnings.size(), warning.isEmpty() ? 0 : 1);
    if (!warning.isEmpty())
        QVERIFY2(warnings.first().contains(warning), qPrintable(warnings.first()));
}

// The PBX link's events go to the CRM link, and the conversation events to WebSocket clients; a
// conversation that is over is not shown as requested.
void tst_AppRouting::callEventsReachCrmAndWebSockets()
{
    Orvix::WebSocketServer::Server sockets;
    QVERIFY(sockets.listen(QHostAddress::LocalHost, 0));
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    QSignalSpy received(&client, &QWebSocket::textMessageReceived);
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(sockets.port())));
    QVERIFY(connected.wait(10000));
    QTRY_COMPARE(sockets.clientCount(), 1);

    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));
    Orvix::Entities::Conversation hung(QStringLiteral("c1"), QStringLiteral("SIP/101-1"), QStringLiteral("X1"));
    hung.setState(Orvix::Entities::CallStatus::Hung, QDateTime::currentDateTime());
    Orvix::Entities::Conversation ringing(QStringLiteral("c2"), QStringLiteral("SIP/101-2"), QStringLiteral("X2"));
    ringing.setState(Orvix::Entities::CallStatus::Ringing, QDateTime::currentDateTime());

    Q_EMIT app->pbx().conversationRequested(hung);
    Q_EMIT app->pbx().conversationRequested(ringing);
    Q_EMIT app->pbx().conversationAccepted(ringing);
    Q_EMIT app->pbx().conversationEnded(ringing);
    Q_EMIT app->pbx().callTransferred(QStringLiteral("X2"));

    QTRY_COMPARE(received.size(), 3);
    QStringList events;
    for (const QList<QVariant> &message : received) {
        const QJsonObject event = QJsonDocument::fromJson(message.first().toString().toUtf8()).object();
        events.append(event.value("meta").toObject().value("event").toString());
        QCOMPARE(event.value("data").toObject().value("conversation").toObject().value("id").toString(),
                 QStringLiteral("c2"));
    }
    QCOMPARE(events, (QStringList{"conversation_requested", "conversation_accepted", "conversation_ended"}));
    // Each event was handed to the CRM link, the transfer included: its task ran.
    QTRY_VERIFY_WITH_TIMEOUT(!recordedMessages().filter(QStringLiteral("[X2]\tCall transferred\t\tCompleted")).isEmpty(), 10000);
}

void tst_AppRouting::routesReachTheirWork_data()
{
    QTest::addColumn<QString>("route");
    QTest::addColumn<QJsonObject>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QJsonValue>("result"); // of an accepted configuration update: its note

    QTest::newRow("configuration") << "/get_config" << QJsonObject() << 200 << QJsonValue();
    QTest::newRow("a configuration update says when its keys apply")
        << "/update_config"
        << QJsonObject{{"App", QJsonObject{{"log_level", "info"}}}, {"WebServer", QJsonObject{{"listen_port", 8079}}},
                       {"Bitrix", QJsonObject{{"user_id", 7}}}}
        << 200
        << QJsonValue("Saved: App.log_level, WebServer.listen_port take effect when the service is restarted; the "
                      "other changes apply now");
    QTest::newRow("a new web password alone restarts no link")
        << "/update_config" << QJsonObject{{"WebServer", QJsonObject{{"password", "another-Pa55-word"}}}} << 200
        << QJsonValue("Saved: applied now");
    QTest::newRow("source list from the portal")
        << "/get_source_list" << QJsonObject() << 200
        << QJsonValue(QJsonArray{QJsonObject{{"STATUS_ID", "CALL"}, {"NAME", "Call"}}});
    QTest::newRow("external lines from the portal") << "/get_external_lines" << QJsonObject() << 200
                                                    << QJsonValue(QJsonArray());
    QTest::newRow("any CRM method") << "/custom_crm_request" << QJsonObject{{"method", "app.info"}} << 200
                                    << QJsonValue(QJsonObject{{"ID", "12"}});
    // A right or scope this application lacks: the administrator hears it; the token and the links stay.
    QTest::newRow("a CRM method the portal refuses with 401 leaves the links up")
        << "/custom_crm_request" << QJsonObject{{"method", "app.secret"}} << 502 << QJsonValue("401 insufficient_scope");
    QTest::newRow("originate through the PBX") << "/originate" << QJsonObject{{"from", "101"}, {"to", "84951112233"}}
                                               << 200 << QJsonValue(true);
    QTest::newRow("hangup of a number without a call fails")
        << "/hangup" << QJsonObject{{"number", "109"}} << 502 << QJsonValue();
    // Refused configuration updates: the errors by key, and nothing the service uses changes.
    const QString notAPort = QStringLiteral("A port is a number from 1 to 65535");
    QTest::newRow("impossible AMI port")
        << "/update_config" << QJsonObject{{"Asterisk", QJsonObject{{"port", 99999}}}} << 422
        << QJsonValue(QJsonObject{{"Asterisk.port", notAPort}});
    QTest::newRow("negative listen port and unknown log level")
        << "/update_config"
        << QJsonObject{{"WebServer", QJsonObject{{"listen_port", -5}}}, {"App", QJsonObject{{"log_level", "loud"}}}}
        << 422
        << QJsonValue(QJsonObject{{"WebServer.listen_port", notAPort},
                                  {"App.log_level", "One of: debug, info, warning, critical, fatal"}});
    QTest::newRow("negative interval beside a good value")
        << "/update_config"
        << QJsonObject{{"Bitrix", QJsonObject{{"execution_loop_interval_msec", -1}, {"user_id", 7}}}} << 422
        << QJsonValue(QJsonObject{{"Bitrix.execution_loop_interval_msec", "Must not be negative"}});
    QTest::newRow("the built-in web password") << "/update_config"
                                               << QJsonObject{{"WebServer", QJsonObject{{"password", "quillbem"}}}}
                                               << 422
                                               << QJsonValue(QJsonObject{{"WebServer.password",
                                                                          "Choose a password: an empty or the "
                                                                          "built-in one is never accepted"}});
    QTest::newRow("unknown key") << "/update_config"
                                 << QJsonObject{{"WebServer", QJsonObject{{"listen_prot", 9000}, {"user", "x"}}}}
                                 << 422 << QJsonValue(QJsonObject{{"WebServer.listen_prot", "Unknown key"}});
    // The page's own save and the API refuse alike what would lock the administrator out or break the
    // next start, whatever the JSON type.
    for (const char *route : {"/config", "/update_config"}) {
        const auto refused = [route](const char *what, const char *section, const char *key, const QJsonValue &value,
                                     const char *errorKey, const char *error) {
            QTest::addRow("%s: %s", route, what) << route << QJsonObject{{section, QJsonObject{{key, value}}}} << 422
                                                 << QJsonValue(QJsonObject{{errorKey, error}});
        };
        const char *noPassword = "Choose a password: an empty or the built-in one is never accepted";
        refused("empty web password", "WebServer", "password", "", "WebServer.password", noPassword);
        refused("built-in web password", "WebServer", "password", "quillbem", "WebServer.password", noPassword);
        refused("one-character web password", "WebServer", "password", "1", "WebServer.password",
                "Choose a password of at least 12 characters");
        refused("null web password", "WebServer", "password", QJsonValue::Null, "WebServer.password",
                "Expected a text");
        refused("web password of tabs and spaces", "WebServer", "password", "\t      \t     ", "WebServer.password",
                "Choose a password that is more than white space or one character repeated");
        refused("empty web user", "WebServer", "user", "", "WebServer.user",
                "Choose a user name: with an empty one no login works");
        refused("listen host that is no address", "WebServer", "listen_host", "not an address", "WebServer.listen_host",
                "Expected an IP address of this host, such as 0.0.0.0 (every address) or 127.0.0.1");
        refused("fractional AMI port", "Asterisk", "port", 5038.5, "Asterisk.port", "Expected a whole number");
        refused("user id that is a name", "Bitrix", "fallback_users", QJsonArray{"bob"}, "Bitrix.fallback_users[0]",
                "Expected a whole number");
        refused("another logger's level", "App", "log_level", "WARN", "App.log_level",
                "One of: debug, info, warning, critical, fatal");
        // The file was edited by hand after the start (the test does it for a 409): kept, and the edit named.
        QTest::addRow("%s: a save after a hand edit of the file", route)
            << route << QJsonObject{{"App", QJsonObject{{"log_level", "info"}}}} << 409 << QJsonValue("Bitrix.user_id");
    }
}

// Each route's request reaches the component that does its work, through the App.
void tst_AppRouting::routesReachTheirWork()
{
    QFETCH(QString, route);
    QFETCH(QJsonObject, body);
    QFETCH(int, status);
    QFETCH(QJsonValue, result);

    m_portal->setRestResult(QStringLiteral("crm.status.entity.items"),
                            QJsonArray{QJsonObject{{"STATUS_ID", "CALL"}, {"NAME", "Call"}}});
    m_portal->setRestResult(QStringLiteral("app.info"), QJsonObject{{"ID", "12"}});
    m_portal->pushRestReply(QStringLiteral("app.secret"),
                            Orvix::Tests::FakeCrmReply::error(401, QStringLiteral("insufficient_scope"),
                                                              QStringLiteral("The request requires higher privileges")));
    // The portal still lists this service's handler at a port it listened on before.
    const QString oldHandler = QStringLiteral("http://127.0.0.1:1/events/external_call_start?key=%1")
                                   .arg(Orvix::Config::GeneratedDirectory::eventKey());
    m_portal->setRestResult(QStringLiteral("event.get"),
                            QJsonArray{QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", oldHandler}}});
    QStringList unbound;
    m_portal->setRestHandler(QStringLiteral("event.unbind"), [&unbound](const QJsonObject &params) {
        unbound.append(params.value("handler").toString());
        return Orvix::Tests::FakeCrmReply::result(true);
    });
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));
    const QJsonObject configBefore = config.toJson();

    QNetworkAccessManager network;
    QJsonObject answer;
    QFile file(Orvix::Utils::Settings::Manager::configName);
    QJsonObject edited = configBefore;
    edited.insert("Bitrix", QJsonObject{{"user_id", 42}}); // by hand, the rest of the section left to its defaults
    QVERIFY(status != 409 || (file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(edited).toJson()) > 0));
    file.close();
    QCOMPARE(postAsOperator(network, app->httpServer().port(), route, body, &answer), status);
    if (status == 409) {
        const QString error = answer.value("error").toString();
        QVERIFY2(error.contains(result.toString()), qPrintable(error));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object(), edited);
    }
    if (route == QLatin1String("/get_config"))
        QCOMPARE(answer.value("result").toObject().value("WebServer").toObject().value("user").toString(),
                 QStringLiteral("operator"));
    else if (route == QLatin1String("/update_config") && status == 200) {
        QCOMPARE(answer.value("note"), result);
        // The note says truly whether the links ran again. Click-to-call stays bound where the server listens,
        // whatever port is saved for the next start, and the handler of the port it left is gone.
        const bool restarted = result != QJsonValue("Saved: applied now");
        QCOMPARE(loginCount(), restarted ? 2 : 1);
        QTRY_COMPARE(bindCount(), restarted ? 4 : 2);
        for (const Orvix::Tests::FakeCrmRequest &bind : m_portal->restRequests(QStringLiteral("event.bind")))
            QCOMPARE(QUrl(bind.params().value("handler").toString()).port(), int(app->httpServer().port()));
        QTRY_VERIFY(!unbound.isEmpty());
        unbound.removeDuplicates(); // the fake lists it again at the restart
        QCOMPARE(unbound, QStringList{oldHandler});
    } else if (route == QLatin1String("/custom_crm_request") && status == 502) {
        const QString error = answer.value("error").toString();
        QVERIFY2(error.contains(result.toString()), qPrintable(error));
        QVERIFY(app->isStarted());
        QVERIFY(!app->isRestartPending());
        // The next request goes with the same token.
        QCOMPARE(postAsOperator(network, app->httpServer().port(), route, QJsonObject{{"method", "app.info"}}, &answer),
                 200);
        QCOMPARE(m_portal->restRequests(QStringLiteral("app.info")).last().params().value("auth"),
                 m_portal->restRequests(QStringLiteral("app.secret")).last().params().value("auth"));
    } else if (!result.isUndefined() && !result.isNull() && status != 409)
        QCOMPARE(answer.value(status == 422 ? "errors" : "result"), result);
    if (status == 422 || status == 409) {
        QCOMPARE(config.toJson(), configBefore);
        QVERIFY(app->isStarted());
        QCOMPARE(loginCount(), 1); // no restart either
        // The login that asked still opens the protected routes.
        QNetworkReply *again =
            network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/get_config").arg(app->httpServer().port()))));
        QSignalSpy answered(again, &QNetworkReply::finished);
        QVERIFY(answered.wait(20000));
        again->deleteLater();
        QCOMPARE(again->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    }
    if (route == QLatin1String("/originate"))
        QCOMPARE(m_ami->frames(QStringLiteral("Originate")).last().value("Exten"), QStringLiteral("84951112233"));
}

QTEST_GUILESS_MAIN(tst_AppRouting)
#include "tst_approuting.moc"
