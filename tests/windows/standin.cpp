// A stand-in main application for the Windows tests: records that it runs
// (its process id, in "standin-ran.txt" in its current directory), then
// waits to be ended, at most a minute.

#include <windows.h>

#include <cstdio>

int main() {
  if (FILE* f = _wfopen(L"standin-ran.txt", L"ab")) {
    fprintf(f, "%lu\n", GetCurrentProcessId());
    fclose(f);
  }
  Sleep(60 * 1000);
  return 0;
}
