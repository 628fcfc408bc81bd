#pragma once

// What the updater shows of its package transfers, for whoever supports
// it: libcurl's verbose trace on standard error with the credentials' value
// replaced, and one line per transfer in the log. Used by the download;
// main thread.

#include <curl/curl.h>

#include <string>

// The password of "user:password" (empty when there is none).
std::string PasswordOf(const char* credentials);

// Makes the handle write its verbose trace to standard error as libcurl
// would ("* " for its notes, "> " for headers sent, "< " for headers
// received), with the value of an Authorization header and `*password`,
// wherever it appears, replaced. `password` must outlive the transfer.
void TraceRedacted(CURL* handle, const std::string* password);

// Writes the log's line for a finished transfer (status, bytes, duration,
// the address without credentials, libcurl's result) and remembers its
// status for LastDownloadFailure.
void LogTransfer(CURL* handle, CURLcode result);

// Remembers the result of a whole download for LastDownloadFailure
// (download.h).
void NoteDownloadResult(int result);
