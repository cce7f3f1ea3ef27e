#include "logging.h"

Q_LOGGING_CATEGORY(lcWebSocketServer, "websocketserver", QtInfoMsg)
