#pragma once

#include <QLoggingCategory>

// Developer traces of the HTTP client; silent unless QT_LOGGING_RULES enables "httpclient".
Q_DECLARE_LOGGING_CATEGORY(lcHttpClient)
