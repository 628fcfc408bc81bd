#include "processes.h"

#include <windows.h>
// After windows.h, which they build on.
#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "owned_handle_win32.h"

Path ExecutableDirectory() {
  // GetModuleFileNameW truncates silently; grow until the name fits.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return Path();
    if (n < buffer.size()) break;
    buffer.resize(buffer.size() * 2);
  }
  // Drops the file name and its backslash; a root such as C:\ keeps its own.
  PathRemoveFileSpecW(buffer.data());
  return Path(buffer.data());
}

namespace {

// The full path of a process's executable, in its Win32 form. Opening for
// limited information is allowed for most processes of other users too;
// protected processes give nothing.
Path ImagePathOf(DWORD id) {
  OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  if (!process.valid()) return Path();
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    if (QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size))
      return Path(buffer.data(), size);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 32768) return Path();
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

bool ListProcesses(std::vector<ProcessEntry>* processes) {
  processes->clear();
  OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    ProcessEntry e;
    e.id = entry.th32ProcessID;
    e.image_name = entry.szExeFile;
    e.image_path = ImagePathOf(entry.th32ProcessID);
    processes->push_back(std::move(e));
  }
  return true;
}

struct ProcessControl::Handle {
  OwnedHandle process;
};

ProcessControl::ProcessControl(ProcessId id) : handle_(new Handle) {
  handle_->process =
      OwnedHandle(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                              FALSE, static_cast<DWORD>(id)));
}

ProcessControl::~ProcessControl() = default;
ProcessControl::ProcessControl(ProcessControl&&) noexcept = default;
ProcessControl& ProcessControl::operator=(ProcessControl&&) noexcept = default;

bool ProcessControl::is_open() const { return handle_ && handle_->process.valid(); }

bool ProcessControl::Terminate() {
  return is_open() && TerminateProcess(handle_->process.get(), 0) != 0;
}

bool ProcessControl::WaitForEnd(std::chrono::milliseconds timeout) const {
  // A process handle is signalled when the process has ended.
  if (!is_open()) return true;
  const DWORD ms = static_cast<DWORD>(std::clamp<long long>(timeout.count(), 0, INFINITE - 1));
  return WaitForSingleObject(handle_->process.get(), ms) == WAIT_OBJECT_0;
}

bool StartDetachedProgram(const Path& program) {
  // The program's path goes separately from the command line, so a path
  // with spaces can never name another program; the command line carries
  // only the quoted path as the program's own name.
  std::wstring command_line = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info))
    return false;
  OwnedHandle process(info.hProcess);
  OwnedHandle thread(info.hThread);
  return true;
}
