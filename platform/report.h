#pragma once

// The updater's diagnostics: every line it writes for whoever supports it
// goes through here, so that each one reaches its stream and, once a log is
// attached, the log file as well. Main thread (the prompt's handlers run
// there too); lines from other threads must be handed to it.

#include <cstdint>
#include <string>

#include "path.h"

#if defined(__GNUC__)
#define UPDATER_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define UPDATER_PRINTF_FORMAT
#endif

// printf-style; `format` carries its own line end, as printf's would.
// Standard output is flushed after each call, so the order of lines stays
// that of the calls even when output is redirected.
UPDATER_PRINTF_FORMAT void Report(const char* format, ...);

// The same for a line that belongs on standard error.
UPDATER_PRINTF_FORMAT void ReportError(const char* format, ...);

// A line for the log only: what the streams show in another form (the
// transfer that libcurl traces on standard error, a stage's summary) or
// not at all.
UPDATER_PRINTF_FORMAT void ReportToLog(const char* format, ...);

// A line of progress for one file or directory of a stage that went as
// planned: standard output only. The log gets the stage's summary line
// (ReportToLog) instead, so that a run of many files stays a few lines
// there; a file that fails or is refused is reported with Report.
UPDATER_PRINTF_FORMAT void ReportProgress(const char* format, ...);

// The log is rotated when an append would take it past this size.
inline constexpr std::uint64_t kLogLimitBytes = 1024 * 1024;

// Attaches the log file: from now on every line of the calls above is also
// appended to `path`, each with the local time and this process's id, as
//   2026-12-08 14:03:27.512 [4242] text
// Lines are appended whole, so the updaters of one installation may share
// the file. Before an append would take it past kLogLimitBytes it is
// renamed to `rotated` (replacing an older one) and a new one is started;
// at most once per process: after that the log grows past the limit
// instead, so that a run never rotates away its own first lines (they stay
// in the log or, at worst, in `rotated`), nor the runs before it.
// A log that cannot be written is passed over line by line: the streams
// still get every line and nothing else changes. An empty path detaches.
// Main thread, first thing in a run.
void AttachLog(const Path& path, const Path& rotated);

// How a run of the updater ended. Each run writes exactly one outcome line,
//   Outcome: <what>[: <why>]
// through Report. A step that knows how the run ends reports it where it
// knows it (the install step, the run lock); the update sequence reports
// every other ending itself. Only the first call of a process writes its
// line, so the sequence may end with a fallback call for the path that has
// not reported yet.
enum class RunOutcome {
  kInstalled,       // "installed"
  kNothingNew,      // "nothing new": the server has nothing newer to offer
  kDownloadFailed,  // "download failed: <why>"
  kPackageRefused,  // "package refused: <why>"
  kInstallFailed,   // "install failed: <why>"
  kPromptClosed,    // "prompt closed without installing"
  kAnotherUpdater,  // "another updater was running"
  kNotStarted,      // "not started: <why>": the run could not begin at all
};

// Writes the run's outcome line, unless one was written already. `why` is a
// short reason, left out when empty.
void ReportOutcome(RunOutcome outcome, const std::string& why = std::string());
