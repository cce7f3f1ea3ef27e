#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace Orvix::WebSocketServer::Envelope {

// The messages of the WebSocket protocol. A request: {"action": name, "id": any value the client
// chooses, "data": {...}}. A response: {"type": "response", "meta": {"action", "id", "status":
// "success" or "error"}, "data": the result, or {"message", "code"} on error}. An event: {"type":
// "event", "meta": {"event": name}, "data": {...}}.

QJsonObject response(const QString &action, const QJsonValue &id, const QJsonValue &data);
QJsonObject error(const QString &action, const QJsonValue &id, const QJsonObject &error);
QJsonObject event(const QString &name, const QJsonValue &data);

} // namespace Orvix::WebSocketServer::Envelope
