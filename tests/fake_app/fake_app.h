#pragma once

// Test-side control of the stand-in main application (fake_app/main.cpp):
// copies of it under chosen image names, started by the test or found
// after the code under test started them.

#include <sys/types.h>

#include <string>
#include <vector>

namespace fake_app {

// An image name that no other test process uses: stem, this process's id
// and a counter, then ".exe".
std::string UniqueName(const std::string& stem);

// Copies the stand-in program to `path`.
void Install(const std::string& path);

struct Run {
  pid_t pid = 0;
  pid_t session = 0;
  pid_t parent = 0;
  std::string cwd;
  std::string stdout_target;
  std::string gdk_gl;  // its GDK_GL setting; empty: none
};

// The runs that the copy at `path` has recorded so far, oldest first.
std::vector<Run> Runs(const std::string& path);

// Waits until the copy at `path` has recorded at least `count` runs, at most
// timeout_s seconds; returns the runs then recorded.
std::vector<Run> WaitForRuns(const std::string& path, size_t count, int timeout_s = 10);

// Starts the copy at `path` in `cwd` as a child of the test and waits until
// it runs under its own name. -1 when it did not start.
pid_t StartChild(const std::string& path, const std::string& cwd);

// True when the child has ended already (reaping it), without waiting.
bool ChildHasEnded(pid_t pid, bool* killed);

// Stops a process that the code under test started from the copy at
// `path`; checks first that the id still belongs to that program.
void StopStarted(pid_t pid, const std::string& path);

// Processes now running with this image name.
std::vector<pid_t> Running(const std::string& image_name);

}  // namespace fake_app
