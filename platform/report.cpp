#include "report.h"

#include <cstdarg>
#include <cstdio>

#include "log_file.h"

namespace {

// The attached log; empty when there is none.
Path gLogPath;
Path gRotatedLogPath;
bool gRotatedByThisProcess = false;
bool gOutcomeReported = false;

std::string Format(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(size));
  return text;
}

// Every line of `text` with its stamp, appended in one piece. A last line
// without its end gets one: the log holds whole lines only.
void AppendToAttachedLog(const std::string& text) {
  if (gLogPath.empty() || text.empty()) return;
  const std::string stamp = LocalTimeStamp() + " [" + std::to_string(CurrentProcessId()) + "] ";
  std::string lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines += stamp;
    lines.append(text, start, end - start);
    lines += '\n';
    start = end + 1;
  }
  const std::uint64_t limit = gRotatedByThisProcess ? UINT64_MAX : kLogLimitBytes;
  AppendToLog(gLogPath, gRotatedLogPath, lines, limit, &gRotatedByThisProcess);
}

void ReportTo(std::FILE* stream, const std::string& text) {
  if (stream) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
  }
  AppendToAttachedLog(text);
}

const char* OutcomeText(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kInstalled:
      return "installed";
    case RunOutcome::kNothingNew:
      return "nothing new";
    case RunOutcome::kDownloadFailed:
      return "download failed";
    case RunOutcome::kPackageRefused:
      return "package refused";
    case RunOutcome::kInstallFailed:
      return "install failed";
    case RunOutcome::kPromptClosed:
      return "prompt closed without installing";
    case RunOutcome::kAnotherUpdater:
      return "another updater was running";
    case RunOutcome::kNotStarted:
      return "not started";
  }
  return "unknown";
}

}  // namespace

void Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  ReportTo(stdout, text);
}

void ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  ReportTo(stderr, text);
}

void ReportToLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  ReportTo(nullptr, text);
}

void ReportProgress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void AttachLog(const Path& path, const Path& rotated) {
  CloseLog();
  gLogPath = path;
  gRotatedLogPath = rotated;
}

void ReportOutcome(RunOutcome outcome, const std::string& why) {
  if (gOutcomeReported) return;
  gOutcomeReported = true;
  if (why.empty())
    Report("Outcome: %s\n", OutcomeText(outcome));
  else
    Report("Outcome: %s: %s\n", OutcomeText(outcome), why.c_str());
}
