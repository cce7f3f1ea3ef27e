#pragma once

#include "utils/promise.h"
#include "websocketserver/actionresult.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace Orvix::WebSocketServer {

// A WebSocket action, reached by the "action" name of a request. Constructing one registers it under
// its name in the process-wide registry, destroying it removes it (the newer of two with one name
// answers). execute() gets the request's "data" object and returns a promise that it settles once: the
// server sends the response when it settles, to the socket that asked if it is still connected.
// Main thread only.
class IAction
{
public:
    explicit IAction(const QString &name);
    virtual ~IAction();
    IAction(const IAction &) = delete;
    IAction &operator=(const IAction &) = delete;

    QString name() const { return m_name; }
    virtual Utils::Promise<ActionResult, ActionResult::Error> execute(const QJsonObject &data) = 0;

    static IAction *find(const QString &name);
    static QStringList names();

private:
    QString m_name;
};

} // namespace Orvix::WebSocketServer
