#pragma once

#include <QLoggingCategory>

// Developer traces of the HTTP front end; silent unless QT_LOGGING_RULES enables "httpserver".
Q_DECLARE_LOGGING_CATEGORY(lcHttpServer)
