#pragma once

// What the updater shows of its package transfers, for whoever supports
// it: the proxy they go through, libcurl's verbose trace on standard error
// with the credentials' value replaced, and one line per transfer in the
// log. Used by the transport; main thread.

#include <curl/curl.h>

#include <string>

#include "proxy.h"

// The password of "user:password" (empty when there is none).
std::string PasswordOf(const char* credentials);

// Makes the handle write its verbose trace to standard error as libcurl
// would ("* " for its notes, "> " for headers sent, "< " for headers
// received), with the value of an Authorization header and `*password`,
// wherever it appears, replaced. `password` must outlive the transfer.
void TraceRedacted(CURL* handle, const std::string* password);

// One line of text (no line end) naming the proxy, or none, and why, as
//   Proxy: http://10.0.0.5:8080 (fixed)
// The proxy's address shows its scheme, host and port only: never a user
// name or password, whatever characters the password holds.
std::string DescribeProxy(const ProxyChoice& choice);

// Writes the log's line for a finished transfer (status, bytes, duration,
// the address without credentials, libcurl's result).
void LogTransfer(CURL* handle, CURLcode result);
