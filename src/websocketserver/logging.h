#pragma once

#include <QLoggingCategory>

// Developer traces of the WebSocket server; silent unless QT_LOGGING_RULES enables "websocketserver".
Q_DECLARE_LOGGING_CATEGORY(lcWebSocketServer)
