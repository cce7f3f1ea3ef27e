#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace Orvix::WebSocketServer {

// What a WebSocket action answers: its data on success, an Error (a text and an optional code) when
// it fails. Plain values.
class ActionResult
{
public:
    struct Error
    {
        QString message;
        int code = 0;

        QJsonObject toJson() const;
    };

    ActionResult() = default;
    explicit ActionResult(const QJsonValue &data)
        : m_data(data)
    {
    }

    QJsonValue data() const { return m_data; }

private:
    QJsonValue m_data;
};

} // namespace Orvix::WebSocketServer
