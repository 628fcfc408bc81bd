// The demo's sample main application: a tiny program that says which version
// it is and then stays running, as the real application would, until it is
// stopped (it ends by itself after ten minutes, so a broken demo never
// leaves it behind). It writes one line on standard output and appends the
// same line to the file named by SAMPLE_APP_LOG, if set: the updater starts
// it again with its output discarded but with its own environment.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

int main() {
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
  const std::string line = "tesko.exe version " SAMPLE_APP_VERSION " running, pid " +
                           std::to_string(getpid()) + ", directory " + cwd;
  std::cout << line << std::endl;
  if (const char* log = std::getenv("SAMPLE_APP_LOG")) {
    std::ofstream(log, std::ios::app) << line << '\n';
  }
  std::this_thread::sleep_for(std::chrono::minutes(10));
  return 0;
}
