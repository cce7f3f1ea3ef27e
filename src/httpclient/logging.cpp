#include "logging.h"

Q_LOGGING_CATEGORY(lcHttpClient, "httpclient", QtInfoMsg)
