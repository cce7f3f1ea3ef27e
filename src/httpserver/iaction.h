#pragma once

#include "httpserver/request.h"
#include "httpserver/response.h"

#include <QString>
#include <QStringList>

namespace Orvix::HttpServer {

// An HTTP action or page, reached by its route (the exact path, "/get_config").
//
// Contract:
// - Constructing an action registers it under its route in the process-wide registry; destroying it
//   removes it. A route registered twice goes to the newer action (with a warning). Main thread only.
// - The server calls execute() once per GET or POST on the route (only a POST with the event key on the
//   portal's "/events/..." routes); the action checks the method itself where it matters. With
//   requiresAuthFor() the server has already checked the client's digest credentials (DigestAuthentication)
//   and answered 401 itself when they failed.
// - execute() answers through the response, at once or later: keep a copy of the Response (and of the
//   Request if needed) in the promise callback and send when the promise settles; the connection stays
//   open meanwhile. Capture no raw `this` in such callbacks (QPointer). Response::isClientGone() tells
//   whether the client is still there; sending to a gone client does nothing. An action that drops
//   every copy without sending gets 500 sent for it.
// - Parameters: Request::parameters() / value() / text() merge the query with a form or JSON body;
//   Request::json(), form() and query() give each source alone.
class IAction
{
public:
    // No route of the service takes more; a larger body is refused before it is read.
    static inline constexpr qint64 kDefaultMaxBodyBytes = 1024 * 1024;

    explicit IAction(const QString &route, bool requiresAuth = false);
    virtual ~IAction();
    IAction(const IAction &) = delete;
    IAction &operator=(const IAction &) = delete;

    QString route() const { return m_route; }
    // Whether the server demands digest credentials before execute().
    virtual bool requiresAuth() const { return m_requiresAuth; }
    // The same for one request: a route may let some clients in without a login.
    virtual bool requiresAuthFor(const Request &) const { return requiresAuth(); }
    // Whether the route checks a password of its own (a login route): like a route that demands digest
    // credentials, it refuses cross-site requests, and a client that keeps failing has its logins checked later
    // (AccessFailures::takeTurn).
    virtual bool checksPassword() const { return false; }
    // Whether this is a page an administrator may open by following a link from another site. Other
    // protected routes refuse every request that a browser marks as cross-site, so that a foreign page
    // cannot use the browser's remembered digest login to run SQL, change the configuration or place calls.
    virtual bool isPage() const { return false; }
    // The largest request body the route takes (413 above it), at most QHttpConnection::kMaxBodyBytes.
    virtual qint64 maxBodyBytes() const { return kDefaultMaxBodyBytes; }

    virtual void execute(const Request &request, Response response) = 0;

    // The action registered under the route, or null.
    static IAction *find(const QString &route);
    static QStringList routes();

private:
    QString m_route;
    bool m_requiresAuth;
};

} // namespace Orvix::HttpServer
