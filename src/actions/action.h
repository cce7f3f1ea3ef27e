#pragma once

#include "actions/reply.h"
#include "httpserver/iaction.h"
#include "utils/promise.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <type_traits>

namespace Orvix::Actions {

// Base of the service's HTTP actions: one route, whether it needs digest, and the JSON envelope of
// its answers. A subclass reads its parameters, asks for its work by emitting its request signal with
// a promise and answers when the promise settles, or 504 once the time-out passes. Constructing an
// action registers its route with the HTTP server. Main thread; the App owns the actions.
class Action : public QObject, public HttpServer::IAction
{
    Q_OBJECT

public:
    // Checks and configuration updates restart links and wait for the PBX; a client should not be held
    // much longer than that.
    static inline constexpr std::chrono::milliseconds kDefaultTimeout{60000};

    std::chrono::milliseconds timeout() const { return m_timeout; }
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    void execute(const HttpServer::Request &request, HttpServer::Response response) override;

protected:
    Action(const QString &route, bool requiresAuth, QObject *parent);

    virtual void handle(const QJsonObject &params, Reply *reply) = 0;

    // For a route that acts (dials, changes, runs, sends to the portal): its parameters come from a JSON
    // POST body only, never from the query. Another method is refused with 405, another body with 415: a
    // page of another site can make the browser send a GET or post a form or plain text with the
    // administrator's remembered login, but not JSON.
    void acceptOnlyJson() { m_onlyJson = true; }

    // Whether the client is this host (it connected to a loopback address of ours from that address, as a
    // program here does unless it binds another) or the PBX's host (the Asterisk section's "host", an address
    // or a name as last looked up).
    static bool isLocalOrPbx(const HttpServer::Request &request);
    // Looks the PBX's host up when it is a name, so that the PBX is known by its first request: when the
    // settings are read and whenever a save may have changed them.
    static void lookUpPbxHost();

    // Parameter readers: false after answering 400 when a required value is missing or none of them
    // has the expected type. Texts accept JSON strings and whole numbers (a number sent as JSON).
    static bool takeText(const QJsonObject &params, const QString &key, Reply *reply, QString *value);
    static bool takeOptionalText(const QJsonObject &params, const QString &key, Reply *reply, QString *value);
    static bool takeObject(const QJsonObject &params, const QString &key, Reply *reply, QJsonObject *value);
    static bool takeOptionalObject(const QJsonObject &params, const QString &key, Reply *reply,
                                   QJsonObject *value);
    static bool takeOptionalBool(const QJsonObject &params, const QString &key, Reply *reply, bool *value);
    // A required text read by takeText that must not be blank either: false after answering 400 "Missing
    // parameter: <key>" when it is empty or only spaces.
    static bool requireNonBlank(const QString &value, const QString &key, Reply *reply);
    // A configuration change, {section: {key: value}}: at least one section, each an object.
    static bool takeSections(const QJsonObject &params, Reply *reply);

    // Answers 200 {"result": value} (true for a promise without a value) when the promise resolves,
    // {"error": failure} with rejectStatus when it is rejected; for work that rejects with a reason in
    // words, {"error": "<failure>: <reason>"}.
    template <typename T, typename E = void>
    static void answerWhenSettled(Reply *reply, const Utils::Promise<T, E> &promise, int rejectStatus,
                                  const QString &failure)
    {
        static_assert(std::is_void_v<E> || std::is_same_v<E, QString>, "a reason is given in words");
        const QPointer<Reply> guard(reply);
        if constexpr (std::is_void_v<T>) {
            promise.onResolve([guard]() {
                if (guard)
                    guard->sendResult(true);
            });
        } else {
            promise.onResolve([guard](T value) {
                if (guard)
                    guard->sendResult(QJsonValue(value));
            });
        }
        if constexpr (std::is_void_v<E>) {
            promise.onReject([guard, rejectStatus, failure]() {
                if (guard)
                    guard->sendError(rejectStatus, failure);
            });
        } else {
            promise.onReject([guard, rejectStatus, failure](const QString &reason) {
                if (guard)
                    guard->sendError(rejectStatus, reason.isEmpty() ? failure : failure + QStringLiteral(": ") + reason);
            });
        }
    }

private:
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    bool m_onlyJson = false;
};

} // namespace Orvix::Actions
