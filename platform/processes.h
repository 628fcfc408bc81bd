#pragma once

// Processes: the running program itself, and the process table.

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "path.h"

// Directory of the running executable, without a trailing separator except
// for a root ("/" or "C:\"). Empty when it cannot be determined. Any thread.
Path ExecutableDirectory();

using ProcessId = unsigned long;

struct ProcessEntry {
  ProcessId id = 0;
  // The executable's file name without its directory, as the system reports
  // it for the process.
  Path image_name;
  // The executable's full path, as the system reports it for the process;
  // empty when this process may not read it (another user's, a protected
  // one).
  Path image_path;
};

// Every process of the system that this one can see, in the order of the
// process table. False when the table cannot be read. Any thread.
bool ListProcesses(std::vector<ProcessEntry>* processes);

// A process held by its id, so that it can be ended and waited for even if
// its id is reused meanwhile. Move-only; lets go of the process when it dies.
class ProcessControl {
 public:
  explicit ProcessControl(ProcessId id);
  ~ProcessControl();
  ProcessControl(ProcessControl&&) noexcept;
  ProcessControl& operator=(ProcessControl&&) noexcept;

  // Opened with only the rights to end it and wait for it. False when the
  // process is gone or could not be opened (access denied).
  bool is_open() const;
  // Ends the process at once, giving it no chance to clean up. The end is
  // asynchronous: the process may still hold its files when this returns.
  bool Terminate();
  // Waits at most `timeout` for the process to end (and so to release its
  // files). True when it has ended; also when it was never open.
  bool WaitForEnd(std::chrono::milliseconds timeout) const;

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

// Waits until every open process in `processes` has ended, at most
// `timeout` in all. True when all of them ended in time; otherwise
// *still_running (when given) is the index of one that did not.
inline bool WaitForProcessesToEnd(const std::vector<ProcessControl>& processes,
                                  std::chrono::milliseconds timeout,
                                  size_t* still_running = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (size_t i = 0; i < processes.size(); ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!processes[i].WaitForEnd(std::max(left, std::chrono::milliseconds(0)))) {
      if (still_running) *still_running = i;
      return false;
    }
  }
  return true;
}

// Starts `program` by its full path, without arguments and without a shell,
// detached from this process so that it outlives it. It inherits the
// current directory and the environment. True when the program started.
bool StartDetachedProgram(const Path& program);
