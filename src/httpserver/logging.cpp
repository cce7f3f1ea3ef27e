#include "logging.h"

Q_LOGGING_CATEGORY(lcHttpServer, "httpserver", QtInfoMsg)
