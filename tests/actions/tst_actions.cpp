#include "actions/asteriskcheck.h"
#include "actions/auth.h"
#include "actions/bitrixcheck.h"
#include "actions/connectionscheck.h"
#include "actions/customcrmrequest.h"
#include "actions/dbcheck.h"
#include "actions/executesqlquery.h"
#include "actions/externalcallbackstarteventlistener.h"
#include "actions/externalcallstarteventlistener.h"
#include "actions/getconfig.h"
#include "actions/getconversationrecording.h"
#include "actions/getexternallines.h"
#include "actions/getlog.h"
#include "actions/getresponsiblebyphonenumber.h"
#include "actions/getresponsibledata.h"
#include "actions/getsourcelist.h"
#include "actions/getuserlist.h"
#include "actions/hangup.h"
#include "actions/localedelete.h"
#include "actions/localeget.h"
#include "actions/localegetlist.h"
#include "actions/localesave.h"
#include "actions/locateasterisk.h"
#include "actions/originate.h"
#include "actions/redirect.h"
#include "actions/resteventcalllistener.h"
#include "actions/setroistatdata.h"
#include "actions/transfer.h"
#include "actions/updateconfig.h"
#include "actions/updateexternallines.h"
#include "httpserver/accessfailures.h"
#include "httptestclient.h"
#include "support/rawhttpclient.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <chrono>
#include <memory>
#include <vector>

using namespace Orvix;
using namespace Orvix::Actions;
using Orvix::Utils::Promise;

namespace {

enum class Outcome { Resolve, Reject, RejectReconnection, RejectBusy, Never };

constexpr std::chrono::milliseconds kShortTimeout{150};

// Every action of the service with a recorder on its signal: the signal's arguments as texts, and its
// promise settled as the test row asks.
class Harness : public QObject
{
public:
    Harness()
    {
        watch(add<Auth>(), &Auth::request);
        watch(add<Originate>(), &Originate::request);
        watch(add<Redirect>(), &Redirect::request);
        watch(add<Transfer>(), &Transfer::request);
        watch(add<Hangup>(), &Hangup::request);
        watch(add<GetConfig>(), &GetConfig::request);
        watch(add<UpdateConfig>(), &UpdateConfig::request);
        watch(add<ConnectionsCheck>(), &ConnectionsCheck::request);
        watch(add<LocateAsterisk>(), &LocateAsterisk::request);
        watch(add<AsteriskCheck>(), &AsteriskCheck::request);
        watch(add<BitrixCheck>(), &BitrixCheck::request);
        watch(add<DbCheck>(), &DbCheck::request);
        watch(add<ExecuteSqlQuery>(), &ExecuteSqlQuery::request);
        watch(add<GetConversationRecording>(), &GetConversationRecording::request);
        watch(add<GetExternalLines>(), &GetExternalLines::request);
        add<GetLog>();
        watch(add<UpdateExternalLines>(), &UpdateExternalLines::request);
        watch(add<GetResponsibleByPhoneNumber>(), &GetResponsibleByPhoneNumber::request);
        watch(add<GetResponsibleData>(), &GetResponsibleData::request);
        watch(add<GetSourceList>(), &GetSourceList::request);
        watch(add<GetUserList>(), &GetUserList::request);
        watch(add<ExternalCallStartEventListener>(), &ExternalCallStartEventListener::event);
        watch(add<ExternalCallBackStartEventListener>(), &ExternalCallBackStartEventListener::event);
        watch(add<RestEventCallListener>(), &RestEventCallListener::event);
        watch(add<SetRoistatData>(), &SetRoistatData::event);
        watch(add<CustomCrmRequest>(), &CustomCrmRequest::request);
        watch(add<LocaleGetList>(), &LocaleGetList::request);
        watch(add<LocaleGet>(), &LocaleGet::request);
        watch(add<LocaleSave>(), &LocaleSave::request);
        watch(add<LocaleDelete>(), &LocaleDelete::request);
    }

    const std::vector<std::unique_ptr<Action>> &actions() const { return m_actions; }

    Outcome outcome = Outcome::Resolve;
    QList<QStringList> calls;

private:
    template <typename A>
    A *add()
    {
        auto action = std::make_unique<A>();
        action->setTimeout(kShortTimeout);
        A *raw = action.get();
        m_actions.push_back(std::move(action));
        return raw;
    }

    // S: the class declaring the signal, a base of A when A takes its signal over.
    template <typename A, typename S, typename... Args>
    void watch(A *action, void (S::*signal)(Args...))
    {
        connect(action, signal, this, [this](Args... args) {
            QStringList recorded;
            (take(recorded, args), ...);
            calls.append(recorded);
        });
    }

    static void take(QStringList &recorded, const QString &text) { recorded << text; }
    static void take(QStringList &recorded, bool value) { recorded << (value ? "true" : "false"); }
    static void take(QStringList &recorded, int value) { recorded << QString::number(value); }
    static void take(QStringList &recorded, const QJsonObject &object)
    {
        recorded << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    }
    template <typename T, typename E>
    void take(QStringList &, const Promise<T, E> &promise)
    {
        settle(promise);
    }

    void settle(const Promise<void> &p) { outcome == Outcome::Resolve ? p.resolve() : rejectOrKeep(p); }
    void settle(const Promise<QJsonObject> &p)
    {
        outcome == Outcome::Resolve ? p.resolve(QJsonObject{{"ok", true}}) : rejectOrKeep(p);
    }
    void settle(const Promise<QJsonArray> &p)
    {
        outcome == Outcome::Resolve ? p.resolve(QJsonArray{1, "two"}) : rejectOrKeep(p);
    }
    void settle(const Promise<QString> &p) { outcome == Outcome::Resolve ? p.resolve("answer") : rejectOrKeep(p); }
    void settle(const Promise<QJsonValue> &p)
    {
        outcome == Outcome::Resolve ? p.resolve(QJsonValue(42)) : rejectOrKeep(p);
    }
    void settle(const Promise<QJsonObject, QString> &p)
    {
        if (outcome == Outcome::Resolve)
            p.resolve(QJsonObject{{"fields", QJsonArray{"id"}}, {"data", QJsonArray{QJsonArray{"7"}}}});
        else if (outcome != Outcome::Never)
            p.reject(QStringLiteral("Table 'asterisk.nope' doesn't exist"));
        m_kept.append(p);
    }
    void settle(const Promise<QString, QJsonObject> &p)
    {
        if (outcome == Outcome::Resolve)
            p.resolve(QString());
        else if (outcome == Outcome::Reject)
            p.reject(QJsonObject{{"listen_port", "Wrong int format"}});
        else if (outcome == Outcome::RejectReconnection) // written, and the links wait for their restart
            p.resolve(QStringLiteral("applies at the restart in 42 s"));
        else if (outcome == Outcome::RejectBusy) // the file was edited by hand
            p.reject(QJsonObject{{"config_file_changed", "Not saved: App.log_file differs"}});
        m_kept.append(p);
    }
    // Work that says why it failed: the reason follows the route's own text.
    template <typename T>
    void settle(const Promise<T, QString> &p)
    {
        if (outcome == Outcome::Resolve) {
            if constexpr (std::is_void_v<T>)
                p.resolve();
            else if constexpr (std::is_same_v<T, QJsonArray>)
                p.resolve(QJsonArray{1, "two"});
            else
                p.resolve(QJsonValue(42));
        } else if (outcome != Outcome::Never) {
            p.reject(QStringLiteral("refused by the other side"));
        }
        m_kept.append(p);
    }
    void settle(const Promise<QString, Entities::RecordingFailure> &p)
    {
        if (outcome == Outcome::Resolve)
            p.resolve(QStringLiteral("answer"));
        else if (outcome == Outcome::Reject)
            p.reject(Entities::RecordingFailure::missing(QStringLiteral("no CDR row")));
        else if (outcome == Outcome::RejectReconnection)
            p.reject(Entities::RecordingFailure::unreachable(QStringLiteral("the database cannot be reached")));
        else if (outcome == Outcome::RejectBusy)
            p.reject(Entities::RecordingFailure::failed(QStringLiteral("the call is still up")));
        m_kept.append(p);
    }
    template <typename T>
    void settle(const Promise<T, CRM::Bitrix::LookupFailure> &p)
    {
        if (outcome == Outcome::Resolve) {
            if constexpr (std::is_same_v<T, QString>)
                p.resolve(QStringLiteral("answer"));
            else
                p.resolve(QJsonObject{{"ok", true}});
        } else if (outcome == Outcome::RejectReconnection) {
            p.reject(CRM::Bitrix::LookupFailure(CRM::Bitrix::LookupFailure::Unavailable,
                                                QStringLiteral("the CRM portal at portal.example cannot be reached: "
                                                               "connection refused")));
        } else if (outcome != Outcome::Never) {
            p.reject(outcome == Outcome::RejectBusy ? CRM::Bitrix::LookupFailure::Busy
                                                    : CRM::Bitrix::LookupFailure::NotFound);
        }
        m_kept.append(p);
    }
    template <typename T>
    void rejectOrKeep(const Promise<T> &p)
    {
        if (outcome != Outcome::Never)
            p.reject();
        // A promise nobody settles: its holder keeps it, as a link that never answers would.
        m_kept.append(p);
    }

    std::vector<std::unique_ptr<Action>> m_actions;
    QList<Utils::PromiseBase> m_kept;
};

QJsonObject result(const QJsonValue &value) { return QJsonObject{{"result", value}}; }
QJsonObject error(const QString &text) { return QJsonObject{{"error", text}}; }

} // namespace

Q_DECLARE_METATYPE(Outcome)

class tst_Actions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void routes_data();
    void routes();
    void digest_data();
    void digest();
    void lookupsOpenToThePbxOnly_data();
    void lookupsOpenToThePbxOnly();
    void failedLoginsAreSummarised_data();
    void failedLoginsAreSummarised();

private:
    std::unique_ptr<Tests::HttpTestClient> m_client;
    std::unique_ptr<Harness> m_harness;
};

void tst_Actions::initTestCase()
{
    m_client = std::make_unique<Tests::HttpTestClient>();
    QVERIFY(m_client->isListening());
    m_harness = std::make_unique<Harness>();
    QCOMPARE(m_harness->actions().size(), std::size_t(30));
}

void tst_Actions::routes_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("body"); // null: GET
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("signalled");
    QTest::addColumn<int>("status");
    QTest::addColumn<QJsonObject>("answer");

    const QJsonObject timeout = error("Timeout");
    const QByteArray get;
    // resolve, reject and never-settle rows of one request
    const auto three = [&](const char *name, const QString &target, const QByteArray &body, const QStringList &args,
                           const QJsonValue &resolved, int rejectStatus, const QJsonObject &rejected) {
        QTest::addRow("%s resolved", name)
            << target << body << Outcome::Resolve << args << true << 200 << result(resolved);
        QTest::addRow("%s rejected", name)
            << target << body << Outcome::Reject << args << true << rejectStatus << rejected;
        QTest::addRow("%s never settled", name) << target << body << Outcome::Never << args << true << 504 << timeout;
    };
    const QJsonObject ok{{"ok", true}};
    const QJsonArray list{1, "two"};

    three("auth", "/auth", R"({"user": "admin", "password": "x"})", {"admin", "x"}, true, 401,
          error("Wrong user or password"));
    three("originate", "/originate", R"({"from": 101, "to": "200"})", {"101", "200"}, true, 502,
          error("Originate failed: refused by the other side"));
    three("forward", "/forward", R"({"channel_id": "1700000000.5", "to": "300"})", {"1700000000.5", "300"}, true, 502,
          error("Redirect failed: refused by the other side"));
    three("transfer", "/transfer", R"({"number": 101, "to": "300", "blind": false})", {"101", "300", "false"}, true, 502,
          error("Transfer failed: refused by the other side"));
    QTest::newRow("transfer is blind by default") << "/transfer" << QByteArray(R"({"number": "101", "to": "300"})")
                                                  << Outcome::Resolve
                                                  << QStringList{"101", "300", "true"} << true << 200 << result(true);
    QTest::newRow("transfer with a blind flag that is no flag")
        << "/transfer" << QByteArray(R"({"number": "101", "to": "300", "blind": "maybe"})") << Outcome::Resolve
        << QStringList() << false << 400
        << error("Malformed parameter: blind");
    three("hangup", "/hangup", R"({"number": "101"})", {"101"}, true, 502,
          error("Hangup failed: refused by the other side"));
    // The parameters of a route that acts come from its JSON body only.
    QTest::newRow("hangup with the number in the query") << "/hangup?number=101" << QByteArray("{}") << Outcome::Resolve
                                                         << QStringList() << false << 400
                                           << error("Missing parameter: number");
    QTest::newRow("originate with a list for a number")
        << "/originate" << QByteArray(R"({"from": [1], "to": "200"})") << Outcome::Resolve << QStringList() << false
        << 400 << error("Malformed parameter: from");
    QTest::newRow("malformed JSON body") << "/originate" << QByteArray(R"({"from": )") << Outcome::Resolve
                                         << QStringList() << false << 400 << error("Malformed JSON body");
    three("get_config", "/get_config", get, {}, ok, 502, error("Configuration unavailable"));
    three("update_config", "/update_config", R"({"WebServer": {"listen_port": 8000}})",
          {R"({"WebServer":{"listen_port":8000}})"}, true, 422,
          QJsonObject{{"errors", QJsonObject{{"listen_port", "Wrong int format"}}}});
    QTest::newRow("update_config written while the links wait for their restart")
        << "/update_config" << QByteArray(R"({"App": {"log_level": "info"}})") << Outcome::RejectReconnection
        << QStringList{R"({"App":{"log_level":"info"}})"} << true << 200
        << QJsonObject{{"result", true}, {"note", "applies at the restart in 42 s"}};
    QTest::newRow("update_config refused for a hand edit of the file")
        << "/update_config" << QByteArray(R"({"App": {"log_level": "info"}})") << Outcome::RejectBusy
        << QStringList{R"({"App":{"log_level":"info"}})"} << true << 409 << error("Not saved: App.log_file differs");
    QTest::newRow("update_config with a section that is no object")
        << "/update_config" << QByteArray(R"({"App": 5})") << Outcome::Resolve << QStringList() << false << 400
        << error("Malformed parameter: App");
    QTest::newRow("update_config without a body") << "/update_config" << QByteArray("{}") << Outcome::Resolve
                                                  << QStringList() << false << 400
                                                  << error("Missing parameter: configuration");
    // A page of another site can make a browser send a GET or a form with the remembered login, but not
    // JSON: no route that dials, changes, runs or sends anything takes either.
    for (const char *route : {"/originate", "/forward", "/transfer", "/hangup", "/update_config", "/check_connections",
                              "/locate_asterisk", "/asterisk_check", "/bitrix_check", "/db_check", "/execute_sql",
                              "/update_external_lines", "/custom_crm_request", "/set_roistat_data", "/locale_save",
                              "/locale_delete", "/auth"}) {
        QTest::addRow("%s as a GET", route)
            << QString(route) + "?from=101&to=900777&host=attacker.example&sql=select%201" << get << Outcome::Resolve
            << QStringList() << false << 405
            << error("Method not allowed: send a POST with a JSON body (Content-Type: application/json)");
        QTest::addRow("%s with a form", route)
            << QString(route) << QByteArray("from=101&to=900777&host=attacker.example&sql=select+1") << Outcome::Resolve
            << QStringList() << false << 415 << error("Send a POST with a JSON body (Content-Type: application/json)");
    }
    three("check_connections", "/check_connections", "{}", {"{}"}, ok, 502, error("Check failed"));
    QTest::newRow("check_connections with the values typed on the page")
        << "/check_connections" << QByteArray(R"({"Database": {"host": "db"}, "Other": 1})") << Outcome::Resolve
        << QStringList{R"({"Database":{"host":"db"}})"} << true << 200 << result(ok);
    three("locate_asterisk", "/locate_asterisk", "{}", {}, ok, 502, error("Check failed"));
    three("asterisk_check", "/asterisk_check", R"({"host": "127.0.0.1", "port": 5038})",
          {R"({"host":"127.0.0.1","port":5038})"}, ok, 502, error("Check failed"));
    three("bitrix_check", "/bitrix_check", R"({"host": "example.bitrix24.ru"})", {R"({"host":"example.bitrix24.ru"})"},
          ok, 502, error("Check failed"));
    three("db_check", "/db_check", "{}", {"{}"}, ok, 502, error("Check failed"));
    three("execute_sql", "/execute_sql", R"({"sql": "select id from cel"})", {"select id from cel"},
          QJsonObject{{"fields", QJsonArray{"id"}}, {"data", QJsonArray{QJsonArray{"7"}}}}, 502,
          error("Table 'asterisk.nope' doesn't exist"));
    QTest::newRow("execute_sql with blank SQL") << "/execute_sql" << QByteArray(R"({"sql": " "})") << Outcome::Resolve
                                                << QStringList() << false << 400 << error("Missing parameter: sql");
    QTest::newRow("execute_sql while the statement never settled above still runs: busy at once")
        << "/execute_sql" << QByteArray(R"({"sql": "select 1"})") << Outcome::Resolve << QStringList() << false << 503
        << error("Busy: another SQL statement is still running; send this one when it has ended");
    three("get_external_lines", "/get_external_lines", get, {}, list, 502, error("External lines unavailable: refused by the other side"));
    three("update_external_lines", "/update_external_lines", R"({"NUMBER": "74950000000", "NAME": "Office"})",
          {R"({"NAME":"Office","NUMBER":"74950000000"})"}, true, 502, error("External line not updated: refused by the other side"));
    QTest::newRow("update_external_lines without a number")
        << "/update_external_lines" << QByteArray(R"({"NAME": "Office"})") << Outcome::Resolve << QStringList() << false
        << 400
        << error("Missing parameter: NUMBER");
    three("get_source_list", "/get_source_list", get, {}, list, 502, error("Source list unavailable: refused by the other side"));
    three("get_user_list", "/get_user_list?filter[ACTIVE]=true", get, {R"({"ACTIVE":"true"})"}, list, 502,
          error("User list unavailable: refused by the other side"));
    QTest::newRow("get_user_list without a filter") << "/get_user_list" << get << Outcome::Resolve
                                                    << QStringList{"{}"} << true << 200 << result(list);
    three("get_responsible_by_phone_number", "/get_responsible_by_phone_number?phone=79001234567", get,
          {"79001234567"}, "answer", 404, error("Responsible not found"));
    three("get_responsible_data", "/get_responsible_data?phone=79001234567", get, {"79001234567"}, ok, 404,
          error("Responsible not found"));
    for (const char *route : {"/get_responsible_by_phone_number", "/get_responsible_data"}) {
        QTest::addRow("%s with the CRM's lookups all taken", route)
            << QString(route) + "?phone=79001234567" << get << Outcome::RejectBusy << QStringList{"79001234567"}
            << true << 503 << error("Busy");
        QTest::addRow("%s with the portal unreachable: the reason, never \"not found\"", route)
            << QString(route) + "?phone=79001234567" << get << Outcome::RejectReconnection
            << QStringList{"79001234567"} << true << 503
            << error("the CRM portal at portal.example cannot be reached: connection refused");
    }
    three("custom_crm_request", "/custom_crm_request",
          R"({"method": "crm.lead.get", "params": {"id": 5}, "http_method": "post"})",
          {"crm.lead.get", R"({"id":5})", "post"}, 42, 502, error("CRM request failed: refused by the other side"));
    QTest::newRow("custom_crm_request goes as GET by default")
        << "/custom_crm_request" << QByteArray(R"({"method": "user.current"})") << Outcome::Resolve
        << QStringList{"user.current", "{}", "GET"} << true << 200 << result(42);
    // The method is a part of the portal's address: nothing that could lead to another of its paths.
    const QJsonObject notAMethod =
        error("Malformed parameter: method: a REST method name of letters, digits, '_' and '.', such as crm.lead.list");
    QTest::newRow("custom_crm_request with a method that climbs out of /rest/")
        << "/custom_crm_request" << QByteArray(R"({"method": "../x"})") << Outcome::Resolve << QStringList() << false
        << 422 << notAMethod;
    QTest::newRow("custom_crm_request with a method that brings its own query")
        << "/custom_crm_request" << QByteArray(R"({"method": "user.current?auth=x"})") << Outcome::Resolve
        << QStringList() << false << 422 << notAMethod;
    for (const char *method : {"..", ".", "crm..lead", "1.2"}) {
        QTest::addRow("custom_crm_request with the method \"%s\", which names no method", method)
            << "/custom_crm_request" << QByteArray(R"({"method": ")") + method + R"("})" << Outcome::Resolve
            << QStringList() << false << 422 << notAMethod;
    }
    QTest::newRow("custom_crm_request with a method of a line break")
        << "/custom_crm_request" << QByteArray(R"({"method": "user.current\n"})") << Outcome::Resolve
        << QStringList() << false << 422 << notAMethod;
    QTest::newRow("custom_crm_request with an HTTP method other than GET or POST")
        << "/custom_crm_request" << QByteArray(R"({"method": "crm.lead.delete", "http_method": "DELETE"})")
        << Outcome::Resolve << QStringList() << false << 422 << error("Malformed parameter: http_method: GET or POST");
    three("locale_get_list", "/locale_get_list", get, {}, ok, 502, error("Locales unavailable"));
    three("locale_get", "/locale_get?name=de.json", get, {"de.json"}, ok, 404, error("Locale not found"));
    three("locale_save", "/locale_save", R"({"name": "de", "dictionary": {"niceName": "Deutsch"}})",
          {"de", R"({"niceName":"Deutsch"})"}, "answer", 502, error("Locale not saved"));
    QTest::newRow("locale_save with a new name") << "/locale_save" << QByteArray(R"({"dictionary": {"a": "b"}})")
                                                 << Outcome::Resolve << QStringList{"", R"({"a":"b"})"} << true << 200
                                                 << result("answer");
    // It would become the service's dictionary at once, every text the CRM gets only its key.
    QTest::newRow("locale_save with an empty dictionary")
        << "/locale_save" << QByteArray(R"({"name": "de", "dictionary": {}})") << Outcome::Resolve << QStringList()
        << false << 422
        << error("Locale not saved: the dictionary is empty; post a whole one, such as one read with /locale_get");
    three("locale_delete", "/locale_delete", R"({"name": "custom0.json"})", {"custom0.json"}, true, 502,
          error("Locale not deleted"));
    // The dictionary name becomes a file name beside the executable.
    for (const char *target : {"/locale_get?name=../calvena.json", "/locale_get?name=/etc/passwd",
                               "/locale_get?name=..%2Fstatic%2Fconfig.js", "/locale_get?name=de%0A"})
        QTest::addRow("%s refused", target) << target << get << Outcome::Resolve << QStringList() << false << 400
                                            << error("Malformed parameter: name");
    QTest::newRow("locale_delete outside the locales") << "/locale_delete"
                                                       << QByteArray(R"({"name": "../calvena.json"})")
                                                       << Outcome::Resolve << QStringList() << false << 400
                                                       << error("Malformed parameter: name");
    QTest::newRow("locale_save outside the locales") << "/locale_save"
                                                     << QByteArray(R"({"name": "../x", "dictionary": {}})")
                                                     << Outcome::Resolve << QStringList() << false << 400
                                                     << error("Malformed parameter: name");
    QTest::newRow("set_roistat_data") << "/set_roistat_data" << QByteArray(R"({"call_id": "1700000000.5",
        "data": {"visit": "123"}})") << Outcome::Never
                                      << QStringList{"1700000000.5", R"({"visit":"123"})"} << true << 200
                                      << result(true);
    QTest::newRow("set_roistat_data without data") << "/set_roistat_data"
                                                   << QByteArray(R"({"call_id": "1700000000.5"})")
                                                   << Outcome::Resolve << QStringList() << false << 400
                                                   << error("Missing parameter: data");

    // The portal's own form body: values under data[...], besides the event name and its auth block.
    const QByteArray portalForm = "event=ONEXTERNALCALLSTART&data%5BUSER_ID%5D=15&data%5BPHONE_NUMBER%5D=%2B79001234567"
                                  "&data%5BLINE_NUMBER%5D=7&data%5BCALL_ID%5D=externalCall.abc"
                                  "&data%5BCRM_ENTITY_ID%5D=12&data%5BCRM_ENTITY_TYPE%5D=CONTACT&ts=1700000000"
                                  "&auth%5Bdomain%5D=example.bitrix24.ru&auth%5Bapplication_token%5D=t0k";
    const QString eventData = R"({"CALL_ID":"externalCall.abc","CRM_ENTITY_ID":"12","CRM_ENTITY_TYPE":"CONTACT"})";
    // The portal posts to the handler address the service bound, which carries the key.
    const QString key = "?key=" + Config::GeneratedDirectory::eventKey();
    // Whatever becomes of the originate, the portal gets its 200 at once.
    QTest::newRow("external_call_start, the portal's form") << "/events/external_call_start" + key << portalForm
                                                            << Outcome::Never
                                                            << QStringList{"15", "+79001234567", "7", eventData} << true
                                                            << 200 << result(true);
    QTest::newRow("external_call_start, a numeric USER_ID gives 0")
        << "/events/external_call_start" + key
        << QByteArray(R"({"data": {"USER_ID": 15, "PHONE_NUMBER": "100", "CALL_ID": "c1"}})") << Outcome::Never
        << QStringList{"0", "100", "", R"({"CALL_ID":"c1","CRM_ENTITY_ID":"","CRM_ENTITY_TYPE":""})"} << true << 200
        << result(true);
    QTest::newRow("external_call_start without data")
        << "/events/external_call_start" + key << QByteArray("") << Outcome::Never
        << QStringList{"0", "", "", R"({"CALL_ID":"","CRM_ENTITY_ID":"","CRM_ENTITY_TYPE":""})"} << true << 200
        << result(true);
    QTest::newRow("rest_call, the portal's form") << "/events/rest_call" + key << portalForm << Outcome::Never
                                                  << QStringList{"15", "+79001234567", "7", eventData} << true << 200
                                                  << result(true);
    QTest::newRow("external_call_back_start")
        << "/events/external_call_back_start" + key
        << QByteArray("event=ONEXTERNALCALLBACKSTART&data%5BPHONE_NUMBER%5D=79001234567&data%5BLINE_NUMBER%5D=3")
        << Outcome::Never << QStringList{"79001234567", "3"} << true << 200 << result(true);
    // Link previewers and mail scanners follow links; anyone may post a form with a made-up token.
    for (const char *route : {"/events/external_call_start", "/events/rest_call", "/events/external_call_back_start"}) {
        QTest::addRow("%s, a GET with the form in the query", route)
            << QString(route) + key + "&data%5BPHONE_NUMBER%5D=79001234567" << get << Outcome::Never << QStringList()
            << false << 405 << error("Method not allowed");
        QTest::addRow("%s, a forged form", route) << QString(route) << portalForm << Outcome::Never << QStringList()
                                                  << false << 403 << error("Unknown event handler");
    }

    // The recording route is public and its values reach an SQL text: nothing odd gets past it, and only
    // a link the service signed is looked up.
    const auto link = [](const QString &id, const QString &from, const QString &to, const QString &encodedTo) {
        return QStringLiteral("/get_conversation_recording?id=%1&from=%2&to=%3&sig=%4")
            .arg(id, from, encodedTo, Config::GeneratedDirectory::recordingSignature(id, from, to));
    };
    const QString signedLink = link("1700000000.5", "101", "200", "200");
    QTest::newRow("get_conversation_recording, a path without a file")
        << link("1700000000.5", "101", "+79001234567", "%2B79001234567") << get << Outcome::Resolve
        << QStringList{"1700000000.5", "101", "+79001234567"} << true << 404 << error("Recording not found");
    QTest::newRow("get_conversation_recording never settled")
        << link("pbx1-1700000000.5", "", "200", "200") << get << Outcome::Never
        << QStringList{"pbx1-1700000000.5", "", "200"} << true << 504 << timeout;
    QTest::newRow("get_conversation_recording found nothing")
        << signedLink << get << Outcome::Reject << QStringList{"1700000000.5", "101", "200"} << true << 404
        << error("Recording not found");
    QTest::newRow("get_conversation_recording of a call still up, as of one unknown")
        << signedLink << get << Outcome::RejectBusy << QStringList{"1700000000.5", "101", "200"} << true << 404
        << error("Recording not found");
    QTest::newRow("get_conversation_recording while the database cannot be reached")
        << signedLink << get << Outcome::RejectReconnection << QStringList{"1700000000.5", "101", "200"} << true << 503
        << error("Recording unavailable: the database cannot be reached");
    const QList<QPair<const char *, QString>> forged{
        {"another number", QString(signedLink).replace("to=200", "to=201")},
        {"another id", QString(signedLink).replace("id=1700000000.5", "id=1700000000.6")},
        {"another signature", signedLink.left(signedLink.size() - 1) + (signedLink.endsWith('0') ? "1" : "0")},
        {"no signature", signedLink.left(signedLink.indexOf("&sig="))},
    };
    for (const auto &[name, target] : forged)
        QTest::addRow("get_conversation_recording, a link with %s", name)
            << target << get << Outcome::Resolve << QStringList() << false << 404 << error("Recording not found");
    const QList<QPair<const char *, const char *>> refused{
        {"/get_conversation_recording?id=1'x&from=101&to=200", "id"},
        {"/get_conversation_recording?id=1700000000.5'%20or%20'1'='1&from=101&to=200", "id"},
        {"/get_conversation_recording?id=1700000000.5&from=101%25&to=200", "from"},
        {"/get_conversation_recording?id=1700000000.5&from=101&to=2'00", "to"},
        {"/get_conversation_recording?id=1700000000.5&from=101&to=200_", "to"},
        {"/get_conversation_recording?id=1700000000.5%0A&from=101&to=200", "id"},
        {"/get_conversation_recording?id=1700000000.5&from=101&to=200%0A", "to"},
    };
    for (const auto &[target, key] : refused)
        QTest::addRow("%s", target) << target << get << Outcome::Resolve << QStringList() << false << 400
                                    << error(QStringLiteral("Malformed parameter: %1").arg(key));
    QTest::newRow("get_conversation_recording without numbers")
        << "/get_conversation_recording?id=1700000000.5" << get << Outcome::Resolve << QStringList() << false << 400
        << error("Missing parameter: from");
}

void tst_Actions::routes()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, body);
    QFETCH(Outcome, outcome);
    QFETCH(QStringList, arguments);
    QFETCH(bool, signalled);
    QFETCH(int, status);
    QFETCH(QJsonObject, answer);

    m_harness->outcome = outcome;
    m_harness->calls.clear();
    const QByteArray contentType = body.startsWith('{') ? QByteArrayLiteral("application/json")
                                                        : QByteArrayLiteral("application/x-www-form-urlencoded");
    const Tests::HttpAnswer reply = m_client->request(target, true, body, contentType);

    QCOMPARE(reply.status, status);
    QVERIFY2(reply.contentType.startsWith("application/json"), reply.contentType);
    QCOMPARE(reply.json(), answer);
    if (!signalled) {
        QCOMPARE(m_harness->calls.size(), 0);
    } else {
        QCOMPARE(m_harness->calls.size(), 1);
        QCOMPARE(m_harness->calls.first(), arguments);
    }
}

void tst_Actions::digest_data()
{
    QTest::addColumn<QString>("route");
    QTest::addColumn<bool>("isPublic");
    const QStringList publicRoutes{"/auth",
                                   "/events/external_call_start",
                                   "/events/external_call_back_start",
                                   "/events/rest_call",
                                   "/get_conversation_recording",
                                   "/get_responsible_by_phone_number",
                                   "/get_responsible_data"};
    for (const auto &action : m_harness->actions())
        QTest::addRow("%s", qPrintable(action->route())) << action->route()
                                                        << publicRoutes.contains(action->route());
}

void tst_Actions::digest()
{
    QFETCH(QString, route);
    QFETCH(bool, isPublic);
    m_harness->outcome = Outcome::Resolve;
    m_harness->calls.clear();

    const Tests::HttpAnswer reply = m_client->request(route, false);
    if (isPublic) {
        QVERIFY(reply.status != 401);
    } else {
        QCOMPARE(reply.status, 401);
        QCOMPARE(m_harness->calls.size(), 0);
    }
}

void tst_Actions::lookupsOpenToThePbxOnly_data()
{
    QTest::addColumn<bool>("fromPbx"); // Asterisk.host names the client
    QTest::addColumn<bool>("withLogin");
    QTest::addColumn<int>("status");

    QTest::newRow("another host without a login") << false << false << 401;
    QTest::newRow("the PBX's host without a login") << true << false << 200;
    QTest::newRow("another host with a login") << false << true << 200;
}

void tst_Actions::lookupsOpenToThePbxOnly()
{
    QFETCH(bool, fromPbx);
    QFETCH(bool, withLogin);
    QFETCH(int, status);

    // A client that is not this host: it connects to the server's address from another one.
    const QHostAddress outside(QStringLiteral("127.0.0.2"));
    QVERIFY(Config::Manager::update(QJsonObject{{"Asterisk", QJsonObject{{"host", fromPbx ? outside.toString()
                                                                                           : "127.0.0.1"}}}})
                .isEmpty());
    m_harness->outcome = Outcome::Resolve;
    const auto md5 = [](const QByteArray &data) { return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex(); };
    for (const QByteArray route : {"/get_responsible_data", "/get_responsible_by_phone_number"}) {
        const QByteArray target = route + "?phone=79001234567";
        Tests::RawHttpClient client;
        QVERIFY(client.socket().bind(outside));
        QVERIFY(client.connectTo(m_client->server().port()));
        QByteArray authorization;
        if (withLogin) {
            client.send("GET " + target + " HTTP/1.1\r\n\r\n");
            const auto challenge = client.next();
            QVERIFY(challenge);
            const QByteArray nonce = QRegularExpression("nonce=\"([^\"]*)\"")
                                         .match(QString::fromLatin1(challenge->headers.value("www-authenticate")))
                                         .captured(1)
                                         .toLatin1();
            const QByteArray user = Config::Manager::getString(Config::Manager::WebServer, "user").toUtf8();
            const QByteArray ha1 = md5(user + ":calvena:tEst-Pa55");
            const QByteArray response = md5(ha1 + ':' + nonce + ":00000001:c0:auth:" + md5("GET:" + target));
            authorization = "Authorization: Digest username=\"" + user + "\", realm=\"calvena\", nonce=\"" + nonce
                + "\", uri=\"" + target + "\", qop=auth, nc=00000001, cnonce=\"c0\", response=\"" + response + "\"\r\n";
        }
        client.send("GET " + target + " HTTP/1.1\r\n" + authorization + "\r\n");
        const auto answer = client.next();
        QVERIFY(answer);
        QCOMPARE(answer->status, status);
    }
    QVERIFY(Config::Manager::update(QJsonObject{{"Asterisk", QJsonObject{{"host", "127.0.0.1"}}}}).isEmpty());
}

namespace {

QStringList g_logged;

void keepMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_logged.append(message);
}

} // namespace

void tst_Actions::failedLoginsAreSummarised_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line"); // in the line of one failure; empty: nothing is logged
    QTest::addColumn<bool>("slowed");  // the client's later logins wait

    const auto auth = [](const QByteArray &headers, const QByteArray &body) {
        return "POST /auth HTTP/1.1\r\n" + headers + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
            + body;
    };
    const QByteArray json("Content-Type: application/json\r\n");
    // Nothing a page of another site can make a browser send to /auth is a failure of its address. These come
    // first: once the client has failed often, its logins wait, these as well.
    QTest::newRow("/auth as a GET") << QByteArray("GET /auth?user=admin&password=guess HTTP/1.1\r\n\r\n") << 405
                                    << "" << false;
    QTest::newRow("/auth with a form") << auth("Content-Type: application/x-www-form-urlencoded\r\n",
                                               "user=admin&password=guess")
                                       << 415 << "" << false;
    QTest::newRow("/auth from a foreign page") << auth(json + "Origin: https://elsewhere.example\r\n",
                                                       R"({"user": "admin", "password": "guess"})")
                                               << 403 << "" << false;
    QTest::newRow("wrong passwords on /auth") << auth(json, R"({"user": "admin", "password": "guess"})") << 401
                                              << "Попытка авторизоваться" << true;
    QTest::newRow("wrong digests on a protected route")
        << "GET /get_config HTTP/1.1\r\nAuthorization: Digest username=\"admin\", realm=\"calvena\", nonce=\""
               + QByteArray(64, 'a') + "\", uri=\"/get_config\", qop=auth, nc=00000001, cnonce=\"c\", response=\""
               + QByteArray(32, '0') + "\"\r\n\r\n"
        << 401 << "HTTP authentication failed" << true;
    // What the client sent is cut short and kept on its line.
    QTest::newRow("wrong passwords with a long user name on lines of its own")
        << auth(json, R"({"user": ")" + QByteArray(40000, 'x') + R"(\nforged", "password": "guess"})") << 401
        << "Попытка авторизоваться" << true;
    QTest::newRow("forged events") << QByteArray("POST /events/external_call_start HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                                   << 403 << "does not carry the key" << false;
}

void tst_Actions::failedLoginsAreSummarised()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QString, line);
    QFETCH(bool, slowed);
    constexpr int kFailures = 2000;

    m_harness->outcome = Outcome::Reject;
    HttpServer::AccessFailures::setDelayScale(1e-6); // 5 s waits in 5 microseconds
    const auto booked = [] { return HttpServer::AccessFailures::bookedDelay(QHostAddress::LocalHost).count(); };
    const qint64 bookedBefore = booked();
    const QtMessageHandler previous = qInstallMessageHandler(&keepMessage);
    HttpServer::AccessFailures::setInterval(std::chrono::milliseconds(300));
    g_logged.clear();
    Tests::RawHttpClient client;
    QVERIFY(client.connectTo(m_client->server().port()));
    client.send(request.repeated(kFailures));
    int failures = 0; // checked: the others were refused while the client's login before waited its turn
    for (int i = 0; i < kFailures; ++i) {
        const auto answer = client.next();
        QVERIFY(answer);
        QVERIFY2(answer->status == status || (slowed && answer->status == 429),
                 qPrintable(QString::number(answer->status)));
        failures += answer->status == status;
    }
    // Each failure counted once: alone on its line or in a summary.
    const QRegularExpression summary(QStringLiteral("^(\\d+) more failed logins or refused requests"));
    const auto counted = [&] {
        int sum = 0;
        for (const QString &message : qAsConst(g_logged))
            sum += summary.match(message).hasMatch() ? summary.match(message).captured(1).toInt() : message.contains(line);
        return sum;
    };
    QTRY_COMPARE_WITH_TIMEOUT(counted(), line.isEmpty() ? 0 : failures, 10000);
    qInstallMessageHandler(previous);
    HttpServer::AccessFailures::setDelayScale(1.0);
    QCOMPARE(booked() > bookedBefore, slowed);
    HttpServer::AccessFailures::setInterval(HttpServer::AccessFailures::kInterval);
    // A log line also carries its time, level and source: 64 bytes each, generously.
    QVERIFY2(g_logged.join('\n').toUtf8().size() + 64 * g_logged.size() < 64 * 1024, qPrintable(g_logged.join('\n')));
    QVERIFY(!g_logged.join('\n').contains(QLatin1String("\nforged")));
}

QTEST_GUILESS_MAIN(tst_Actions)
#include "tst_actions.moc"
