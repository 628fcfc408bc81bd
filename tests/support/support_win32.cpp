// The Windows side of the test helpers. Paths are UTF-8 strings as on POSIX;
// both separators are accepted. A path that starts with '/' is a Unix path
// handed over by the build (the built program's location) and is reached
// through Wine's drive Z:, which maps the Unix root.

// winsock2.h brings windows.h (after itself, not the old winsock.h).
#include <winsock2.h>
// windows.h maps CopyFile to CopyFileA; this file defines the helper of that
// name.
#undef CopyFile

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "support.h"

namespace testing_support {

namespace {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~UniqueHandle() {
    if (h_) CloseHandle(h_);
  }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    std::swap(h_, other.h_);
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

std::wstring Wide(const std::string& utf8) {
  std::string s = utf8;
  if (!s.empty() && s[0] == '/') s = "Z:" + s;
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()); }

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Quotes one argument so that the child's command-line parser gives it back
// unchanged.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

UniqueHandle StartProcess(const std::vector<std::string>& argv, const std::string& cwd,
                          const std::vector<std::string>& extra_env, HANDLE out, HANDLE err,
                          DWORD* pid) {
  std::wstring command;
  for (const auto& a : argv) command += (command.empty() ? L"" : L" ") + Quote(Wide(a));

  std::wstring environment;
  if (!extra_env.empty()) {
    std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> block(GetEnvironmentStringsW(),
                                                                       &FreeEnvironmentStringsW);
    for (const wchar_t* e = block.get(); e && *e; e += wcslen(e) + 1)
      environment += e + std::wstring(1, L'\0');
    for (const auto& e : extra_env) environment += Wide(e) + std::wstring(1, L'\0');
    environment += L'\0';
  }

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in.get();
  si.hStdOutput = out ? out : GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = err ? err : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const std::wstring exe = Wide(argv.at(0));
  const std::wstring dir = Wide(cwd);
  if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      environment.empty() ? nullptr : &environment[0], dir.c_str(), &si, &pi))
    return UniqueHandle();
  CloseHandle(pi.hThread);
  if (pid) *pid = pi.dwProcessId;
  return UniqueHandle(pi.hProcess);
}

int WaitProcess(HANDLE process, int timeout_s) {
  if (WaitForSingleObject(process, static_cast<DWORD>(timeout_s) * 1000) != WAIT_OBJECT_0) {
    TerminateProcess(process, 255);
    WaitForSingleObject(process, INFINITE);
    return -1;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return -1;
  return static_cast<int>(code);
}

// Processes started by Spawn, until WaitChild collects them.
std::mutex spawned_mutex;
std::map<pid_t, UniqueHandle> spawned;

void SnapshotInto(const std::string& root, const std::string& rel, Tree* tree) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW((Wide(dir) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::string r = rel.empty() ? Narrow(name) : rel + "/" + Narrow(name);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      (*tree)[r] = "-> (link)";
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*tree)[r] = "<dir>";
      SnapshotInto(root, r, tree);
    } else {
      (*tree)[r] = ReadFile(root + "/" + r);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring candidate = std::wstring(base) + L"updater-test-" +
                                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(++counter);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = Narrow(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
  if (!getenv("KEEP_TEST_DIRS")) RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
  const std::wstring w = Wide(path);
  const DWORD attributes = GetFileAttributesW(w.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(w.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(w.c_str());
    return;
  }
  // A directory link goes as an entry; its target stays.
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((w + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + "/" + Narrow(name));
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
  }
  RemoveDirectoryW(w.c_str());
}

void MakeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/' || path[i] == '\\') {
      if (path[i - 1] == ':') continue;  // a drive, such as C:
      CreateDirectoryW(Wide(path.substr(0, i)).c_str(), nullptr);
    }
  }
}

bool Exists(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool IsDir(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFile(const std::string& path) {
  UniqueFile in(_wfopen(Wide(path).c_str(), L"rb"));
  std::string content;
  if (!in) return content;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, in.get())) > 0) content.append(buffer, n);
  return content;
}

void WriteFile(const std::string& path, const std::string& content) {
  UniqueFile out(_wfopen(Wide(path).c_str(), L"wb"));
  if (!out || fwrite(content.data(), 1, content.size(), out.get()) != content.size())
    throw std::runtime_error("cannot write " + path);
}

void CopyFile(const std::string& from, const std::string& to) {
  if (!CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE))
    throw std::runtime_error("cannot copy " + from + " to " + to);
}

Tree Snapshot(const std::string& root) {
  Tree tree;
  SnapshotInto(root, "", &tree);
  return tree;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd, int timeout_s,
                     const std::vector<std::string>& extra_env) {
  // Output goes to temporary files, so a chatty child never blocks on a pipe.
  TempDir io;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  RunResult result;
  {
    UniqueHandle out(CreateFileW(Wide(io / "out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr));
    UniqueHandle err(CreateFileW(Wide(io / "err").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr));
    if (!out || !err) return result;
    UniqueHandle process = StartProcess(argv, cwd, extra_env, out.get(), err.get(), nullptr);
    if (!process) return result;
    result.exit_code = WaitProcess(process.get(), timeout_s);
  }
  result.out = ReadFile(io / "out");
  result.err = ReadFile(io / "err");
  return result;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd) {
  DWORD pid = 0;
  UniqueHandle process = StartProcess(argv, cwd, {}, nullptr, nullptr, &pid);
  if (!process) return -1;
  std::lock_guard<std::mutex> lock(spawned_mutex);
  spawned[static_cast<pid_t>(pid)] = std::move(process);
  return static_cast<pid_t>(pid);
}

pid_t SpawnLogged(const std::vector<std::string>& argv, const std::string& cwd,
                  const std::string& log_path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle log(CreateFileW(Wide(log_path).c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS, 0,
                               nullptr));
  if (!log) return -1;
  DWORD pid = 0;
  UniqueHandle process = StartProcess(argv, cwd, {}, log.get(), log.get(), &pid);
  if (!process) return -1;
  std::lock_guard<std::mutex> lock(spawned_mutex);
  spawned[static_cast<pid_t>(pid)] = std::move(process);
  return static_cast<pid_t>(pid);
}

int WaitChild(pid_t pid, int timeout_s) {
  UniqueHandle process;
  {
    std::lock_guard<std::mutex> lock(spawned_mutex);
    auto it = spawned.find(pid);
    if (it == spawned.end()) return -1;
    process = std::move(it->second);
    spawned.erase(it);
  }
  return WaitProcess(process.get(), timeout_s);
}

int FreePort() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return -1;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int port = -1;
  int len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  closesocket(s);
  return port;
}

}  // namespace testing_support
