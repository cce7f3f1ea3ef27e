#pragma once

// The URL-query codec is shared with the HTTP server and lives in utils now.
#include "utils/urlquery.h"
