#pragma once

#include <QLoggingCategory>

// Developer traces of the HTTP server core; silent unless QT_LOGGING_RULES enables "qhttpserver".
Q_DECLARE_LOGGING_CATEGORY(lcQHttpServer)
