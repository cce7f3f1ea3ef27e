#include "logging.h"

Q_LOGGING_CATEGORY(lcQHttpServer, "qhttpserver", QtInfoMsg)
