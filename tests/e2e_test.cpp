// The whole updater as a user meets it: the built program copied into an
// installation directory with its icons and a stand-in main application
// under the compiled-in name, the package served by nginx at the
// compiled-in address, the prompt shown on the X display (Xvfb in CI) and
// answered with a real pointer (xdotool).

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_app.h"
#include "fault_server.h"
#include "nginx.h"
#include "support.h"
#include "updater_config.h"

// X last: it defines macros such as None and Status.
#include <X11/Xlib.h>

using namespace testing_support;

namespace {

const char kXdotool[] = "/usr/bin/xdotool";
const char kZip[] = "/usr/bin/zip";
const char kRuns[] = ".runs";  // what the stand-in records beside itself

// Where the updater fetches its package: "http://127.0.0.1:<port>" + kPackagePath.
const std::string kPackagePath = "/hotels/package/update.zip";

int PackagePort() {
  const std::string url = config::kPackageUrl;
  const std::string prefix = "http://127.0.0.1:";
  if (url.compare(0, prefix.size(), prefix) != 0) return -1;
  const size_t slash = url.find('/', prefix.size());
  if (slash == std::string::npos || url.substr(slash) != kPackagePath) return -1;
  return std::atoi(url.substr(prefix.size(), slash - prefix.size()).c_str());
}

// Width and height from a PNG file's header.
std::pair<int, int> PngSize(const std::string& path) {
  const std::string bytes = ReadFile(path);
  if (bytes.size() < 24) return {0, 0};
  const auto word = [&](size_t at) {
    int value = 0;
    for (size_t i = at; i < at + 4; ++i) value = value * 256 + static_cast<unsigned char>(bytes[i]);
    return value;
  };
  return {word(16), word(20)};
}

std::string ExeOf(pid_t pid) {
  char buffer[4096];
  const ssize_t n =
      readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Polls the condition every 50 ms for at most timeout_s seconds.
template <typename Condition>
bool Eventually(Condition condition, int timeout_s = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

RunResult Xdotool(const std::vector<std::string>& arguments, int timeout_s = 30) {
  std::vector<std::string> argv{kXdotool};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProgram(argv, "/", timeout_s);
}

// Counts the top-level windows that are shown on the display from its
// creation on, however briefly.
class MapWatch {
 public:
  MapWatch() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    XSelectInput(display_.get(), DefaultRootWindow(display_.get()), SubstructureNotifyMask);
    XSync(display_.get(), False);
  }
  bool ok() const { return display_ != nullptr; }
  int Mapped() {
    // The round trip brings in every event of requests the server handled before it.
    XSync(display_.get(), False);
    while (XPending(display_.get()) > 0) {
      XEvent event;
      XNextEvent(display_.get(), &event);
      if (event.type == MapNotify) ++mapped_;
    }
    return mapped_;
  }

 private:
  struct Closer {
    void operator()(Display* display) const { XCloseDisplay(display); }
  };
  std::unique_ptr<Display, Closer> display_;
  int mapped_ = 0;
};

struct Geometry {
  std::string window;
  int x = 0, y = 0, width = 0, height = 0;
};

bool ReadGeometry(const std::string& window, Geometry* geometry) {
  const RunResult r = Xdotool({"getwindowgeometry", "--shell", window});
  if (r.exit_code != 0) return false;
  std::map<std::string, int> values;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos)
      values[line.substr(0, equals)] = std::atoi(line.substr(equals + 1).c_str());
  }
  geometry->window = window;
  geometry->x = values["X"];
  geometry->y = values["Y"];
  geometry->width = values["WIDTH"];
  geometry->height = values["HEIGHT"];
  return values.count("WIDTH") == 1;
}

std::pair<int, int> ScreenSize() {
  const RunResult r = Xdotool({"getdisplaygeometry"});
  std::istringstream in(r.out);
  int width = 0, height = 0;
  in >> width >> height;
  return {width, height};
}

// The files of an installation directory, without what the stand-in
// records about its runs and without the updater's log.
Tree Files(const std::string& dir) {
  Tree tree = WithoutLog(Snapshot(dir));
  for (auto it = tree.begin(); it != tree.end();) {
    const std::string& name = it->first;
    const bool runs = name.size() > sizeof kRuns - 1 &&
                      name.compare(name.size() - (sizeof kRuns - 1), sizeof kRuns - 1, kRuns) == 0;
    it = runs ? tree.erase(it) : std::next(it);
  }
  return tree;
}

// The names in a directory, in order, separated by spaces. After a finished
// install update/ holds "installed.record" alone.
std::string Names(const std::string& dir) {
  std::string names;
  for (const auto& entry : WithoutLog(Snapshot(dir)))
    names += (names.empty() ? "" : " ") + entry.first;
  return names;
}

// `base` with `files` laid over it, each under `prefix`.
Tree Overlay(Tree base, const Tree& files, const std::string& prefix = "") {
  for (const auto& [name, content] : files) base[prefix + name] = content;
  return base;
}

class WholeProgram : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(port_, 0) << "the package address " << config::kPackageUrl
                        << " is not on 127.0.0.1 at " << kPackagePath;
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the restart prompt needs an X display";
    // The updater stops every process of this name: never someone else's.
    ASSERT_TRUE(fake_app::Running(config::kMainApp).empty())
        << "a process named " << config::kMainApp << " runs already";

    CopyFile(UPDATER_EXE, updater_);
    // As an installation carries it: the program loads it from nowhere else.
    CopyFile(UPDATER_TOOLKIT_MODULE, dir_ / "updater-toolkit.so");
    MakeDirs(dir_ / "icons");
    CopyFile(UPDATER_ICONS_DIR "/updatebg.png", dir_ / "icons/updatebg.png");
    CopyFile(UPDATER_ICONS_DIR "/restart.png", dir_ / "icons/restart.png");
    MakeDirs(dir_ / "update");
    fake_app::Install(app_);
    MakeDirs(dir_ / "data");
    WriteFile(dir_ / "data/prices.txt", "prices of the old version\n");
    WriteFile(dir_ / "settings.ini", "[user]\nkept=as it is\n");

    // The new version: the same stand-in, but a different file.
    fake_app::Install(package_ / config::kMainApp);
    WriteFile(package_ / config::kMainApp,
              ReadFile(package_ / config::kMainApp) + "\nnew version\n");
    MakeDirs(package_ / "data");
    WriteFile(package_ / "data/prices.txt", "prices of the new version\n");
    MakeDirs(package_ / "plugins/reports");
    WriteFile(package_ / "plugins/reports/monthly.txt", "a file in a new directory\n");
    ASSERT_NO_FATAL_FAILURE(ZipPackage());
  }

  // Zips the package's files afresh into served_/update.zip.
  void ZipPackage() {
    package_files_ = Snapshot(package_.path());
    RemoveTree(served_ / "update.zip");
    const RunResult zip =
        RunProgram({kZip, "-q", "-r", served_ / "update.zip", "."}, package_.path());
    ASSERT_EQ(zip.exit_code, 0) << zip.out << zip.err;
  }

  void TearDown() override {
    if (updater_pid_ > 0) WaitChild(updater_pid_, 0);  // kills it when still running
    for (const pid_t pid : children_) {
      kill(pid, SIGKILL);
      WaitChild(pid, 10);
    }
    // Whatever the updater started from the copy (checked by StopStarted).
    for (const fake_app::Run& run : fake_app::Runs(app_)) fake_app::StopStarted(run.pid, app_);
  }

  pid_t StartMainApp() {
    const pid_t pid = fake_app::StartChild(app_, dir_.path());
    if (pid > 0) children_.push_back(pid);
    return pid;
  }

  // True when the child started by StartMainApp has ended (then reaped).
  bool MainAppEnded(pid_t pid, bool* killed) {
    if (!fake_app::ChildHasEnded(pid, killed)) return false;
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    return true;
  }

  enum class Display { kShared, kNone };
  void StartUpdater(Display display = Display::kShared) {
    std::vector<std::string> argv{updater_};
    if (display == Display::kNone) argv.insert(argv.begin(), {"/usr/bin/env", "-u", "DISPLAY"});
    updater_pid_ = SpawnLogged(argv, dir_.path(), log_);
  }

  int WaitUpdater(int timeout_s) {
    const int status = WaitChild(updater_pid_, timeout_s);
    updater_pid_ = -1;
    return status;
  }

  std::string Log() const { return "updater output:\n" + ReadFile(log_); }

  // The log the updater keeps in its working directory.
  std::string UpdaterLog() const { return ReadFile(dir_ / "update/updater.log"); }

  // A window of the updater with this title, once it is shown; "" when none
  // appears within 30 s.
  std::string WaitForUpdaterWindow(const std::string& title) {
    std::string found;
    Eventually(
        [&] {
          const RunResult r =
              Xdotool({"search", "--onlyvisible", "--pid", std::to_string(updater_pid_)});
          std::istringstream windows(r.out);
          for (std::string window; std::getline(windows, window);) {
            const RunResult name = Xdotool({"getwindowname", window});
            if (name.exit_code == 0 && name.out == title + "\n") found = window;
          }
          return !found.empty();
        },
        30);
    return found;
  }

  // The installation `before` once the package is installed: its files,
  // and the record of it in update/ (whatever that holds).
  Tree Installed(const Tree& before) const {
    Tree expected = Overlay(before, package_files_);
    expected["update/installed.record"] = ReadFile(dir_ / "update/installed.record");
    expected["update/installed.zip"] = ReadFile(dir_ / "update/installed.zip");
    // How the server took ranges stays across installs.
    if (Exists(dir_ / "update/single-ranges.state"))
      expected["update/single-ranges.state"] = ReadFile(dir_ / "update/single-ranges.state");
    return expected;
  }

  // Waits until the updater shows its prompt, centred on the screen.
  void FindCentredPrompt(Geometry* prompt) {
    const RunResult found =
        Xdotool({"search", "--sync", "--onlyvisible", "--pid", std::to_string(updater_pid_)}, 30);
    ASSERT_EQ(found.exit_code, 0) << "no prompt appeared\n" << found.err << Log();
    const std::string window = found.out.substr(0, found.out.find('\n'));
    const auto [screen_width, screen_height] = ScreenSize();
    const auto [image_width, image_height] = PngSize(dir_ / "icons/updatebg.png");
    ASSERT_GT(screen_width, 0);
    const bool centred = Eventually([&] {
      return ReadGeometry(window, prompt) &&
             std::abs(2 * prompt->x + prompt->width - screen_width) <= 1 &&
             std::abs(2 * prompt->y + prompt->height - screen_height) <= 1;
    });
    EXPECT_TRUE(centred) << "prompt at " << prompt->x << "," << prompt->y << " size "
                         << prompt->width << "x" << prompt->height << " on a screen of "
                         << screen_width << "x" << screen_height;
    EXPECT_EQ(prompt->width, image_width);
    EXPECT_EQ(prompt->height, image_height);
  }

  // With the main application started as *app (the installation then is
  // *before), starts the updater and waits for its centred prompt.
  void StartUpdaterToItsPrompt(pid_t* app, Tree* before, Geometry* prompt) {
    *app = StartMainApp();
    ASSERT_GT(*app, 0);
    *before = Files(dir_.path());
    StartUpdater();
    ASSERT_NO_FATAL_FAILURE(FindCentredPrompt(prompt));
  }

  // After the prompt closed without installing (the updater ends with
  // status 1): the package stays unpacked in update/, with the record of
  // the package that passed the check, for an install to come; the main
  // application started as `app` runs on, and nothing else was started.
  void ExpectClosedWithoutInstalling(const Tree& before, pid_t app) {
    EXPECT_EQ(WaitUpdater(30), 1) << Log();
    Tree expected = Overlay(before, package_files_, "update/unzip/");
    expected["update/unzip"] = "<dir>";
    expected["update/update.zip"] = ReadFile(served_ / "update.zip");
    expected["update/pending.record"] = ReadFile(dir_ / "update/pending.record");
    EXPECT_EQ(Files(dir_.path()), expected);
    bool killed = false;
    EXPECT_FALSE(MainAppEnded(app, &killed)) << "the main application was stopped";
    EXPECT_EQ(fake_app::Runs(app_).size(), 1u) << "something was started";
  }

  const int port_ = PackagePort();
  TempDir dir_;      // the installation
  TempDir package_;  // the package's files, as they are to be installed
  TempDir served_;   // update.zip, served by nginx
  TempDir logs_;
  const std::string updater_ = dir_ / "updater";
  const std::string app_ = dir_ / config::kMainApp;
  const std::string log_ = logs_ / "updater.log";
  Tree package_files_;
  std::vector<pid_t> children_;
  pid_t updater_pid_ = -1;
};

TEST_F(WholeProgram, WithTheMainApplicationStoppedInstallsAtOnceWithoutAWindow) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  WriteFile(dir_ / "update/updater.log.1", "an earlier log\n");
  const Tree before = Files(dir_.path());
  MapWatch watch;
  ASSERT_TRUE(watch.ok());

  // Started from another directory: it works in its own all the same.
  TempDir elsewhere;
  const RunResult run = RunProgram({updater_}, elsewhere.path(), 60);

  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_TRUE(Snapshot(elsewhere.path()).empty()) << "made in the current directory";
  EXPECT_EQ(watch.Mapped(), 0) << "a window was shown";
  EXPECT_EQ(WithoutLog(Snapshot(dir_.path())), Installed(before));
  EXPECT_EQ(Names(dir_ / "update"), "installed.record installed.zip");
  EXPECT_FALSE(Exists(app_ + kRuns)) << "the main application was started";
  EXPECT_NE(server.AccessLog().find("GET " + kPackagePath), std::string::npos);
  // Built without a key: no signature is asked for, and the run says so.
  EXPECT_EQ(server.AccessLog().find(".minisig"), std::string::npos);
  EXPECT_NE(run.out.find("Package signatures are not checked: no public key is built in\n"),
            std::string::npos)
      << run.out;

  // The log, kept by the clean-up with its earlier part: one line for the
  // transfer instead of libcurl's trace, and the outcome last.
  EXPECT_EQ(ReadFile(dir_ / "update/updater.log.1"), "an earlier log\n");
  const std::string log = UpdaterLog();
  EXPECT_NE(log.find("] Transfer of " + std::string(config::kPackageUrl) + ": HTTP 200, " +
                     std::to_string(ReadFile(served_ / "update.zip").size()) + " bytes in "),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("] Outcome: installed\n"), log.size() - std::strlen("] Outcome: installed\n"))
      << log;
  EXPECT_NE(run.out.find("Outcome: installed\n"), std::string::npos) << run.out;

  // The credentials' value shows nowhere but where it is compiled in:
  // neither the password nor the header's base64 form, in no other file of
  // the installation and on neither stream; the trace on standard error is
  // still there, with the value replaced.
  const std::string credentials = config::kCredentials;
  const std::string password = credentials.substr(credentials.find(':') + 1);
  const RunResult base64 =
      RunProgram({"/bin/sh", "-c", "printf %s \"$0\" | base64 -w0", credentials}, "/");
  ASSERT_EQ(base64.exit_code, 0);
  for (const std::string& secret : {password, base64.out}) {
    ASSERT_FALSE(secret.empty());
    for (const auto& [name, content] : Snapshot(dir_.path())) {
      if (dir_ / name == updater_) continue;
      EXPECT_EQ(content.find(secret), std::string::npos) << name << " holds " << secret;
    }
    EXPECT_EQ(run.out.find(secret), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find(secret), std::string::npos) << run.err;
  }
  EXPECT_NE(run.err.find("> Authorization: Basic [redacted]"), std::string::npos) << run.err;
}

// A package of many files: standard output names every file, the log sums
// each stage up in a line, so that the run stays far below the log's
// rotation and its first lines stay with the runs before it.
TEST_F(WholeProgram, APackageOfManyFilesKeepsTheLogsHeadAndSumsEachStageUp) {
  constexpr int kDirectories = 40, kFilesEach = 300;
  for (int d = 0; d < kDirectories; ++d) {
    const std::string dir = package_ / ("help/chapter-of-the-manual" + std::to_string(d));
    MakeDirs(dir);
    for (int f = 0; f < kFilesEach; ++f)
      WriteFile(dir + "/page" + std::to_string(f) + ".html", "page " + std::to_string(f) + "\n");
  }
  ASSERT_NO_FATAL_FAILURE(ZipPackage());
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  WriteFile(dir_ / "update/updater.log", "an earlier run\n");

  const RunResult run = RunProgram({updater_}, dir_.path(), 120);

  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.out.find("Outcome: installed\n"), std::string::npos) << run.err;
  size_t files = 0;
  for (const auto& entry : package_files_) files += entry.second == "<dir>" ? 0 : 1;
  EXPECT_GT(files, static_cast<size_t>(kDirectories * kFilesEach));
  size_t extracting = 0;
  for (size_t at = 0; (at = run.out.find(" extracting: ", at)) != std::string::npos; ++at)
    ++extracting;
  EXPECT_EQ(extracting, files);
  // Those lines alone, without their time stamps, would have taken the log
  // past its rotation.
  EXPECT_GT(run.out.size(), size_t{1} << 20);

  const std::string log = UpdaterLog();
  EXPECT_FALSE(Exists(dir_ / "update/updater.log.1"));
  EXPECT_EQ(log.rfind("an earlier run\n", 0), 0u) << log.substr(0, 200);
  EXPECT_NE(log.find("] Updater started in "), std::string::npos);
  EXPECT_EQ(log.find("extracting: "), std::string::npos);
  EXPECT_EQ(log.find("creating directory: "), std::string::npos);
  EXPECT_NE(log.find("] Extracted: " + std::to_string(files) + " files, "), std::string::npos)
      << log;
  EXPECT_NE(log.find("] Install prepared: " + std::to_string(files) + " files, "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("] Installed: " + std::to_string(files) + " files moved in ("),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("] Cleared "), std::string::npos) << log;
  EXPECT_LT(log.size(), size_t{64} << 10) << log.substr(0, 4000);
}

TEST_F(WholeProgram, RestartButtonStopsTheMainApplicationInstallsAndStartsItAgain) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  // A log that cannot be written changes nothing in the update.
  MakeDirs(dir_ / "update/updater.log");
  const pid_t first = StartMainApp();
  const pid_t second = StartMainApp();
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  const Tree before = Files(dir_.path());
  MapWatch watch;
  ASSERT_TRUE(watch.ok());

  StartUpdater();
  Geometry prompt;
  ASSERT_NO_FATAL_FAILURE(FindCentredPrompt(&prompt));
  EXPECT_GT(watch.Mapped(), 0) << "the window watch saw no window";
  // Nothing is touched while the prompt waits for an answer.
  EXPECT_EQ(fake_app::Runs(app_).size(), 2u);
  bool killed = false;
  EXPECT_FALSE(MainAppEnded(first, &killed));

  // For people: what the real program shows, once it has painted and with
  // the pointer (and so the tooltip) away from it.
  EXPECT_EQ(Xdotool({"mousemove", "0", "0"}).exit_code, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const RunResult shot = RunProgram({SCREENSHOT_EXE, prompt.window, E2E_SCREENSHOT}, "/", 30);
  EXPECT_EQ(shot.exit_code, 0) << shot.err;

  // The middle of the restart button's image, double-clicked: the second
  // click must not install (and stop what the first one started) again.
  const auto [button_width, button_height] = PngSize(dir_ / "icons/restart.png");
  const int x = prompt.x + 180 + button_width / 2, y = prompt.y + 255 + button_height / 2;
  const RunResult click = Xdotool({"mousemove", std::to_string(x), std::to_string(y), "sleep",
                                   "0.2", "click", "--repeat", "2", "--delay", "80", "1"});
  ASSERT_EQ(click.exit_code, 0) << click.err;

  EXPECT_EQ(WaitUpdater(60), 1) << Log();
  for (const pid_t pid : {first, second}) {
    killed = false;
    EXPECT_TRUE(Eventually([&] { return MainAppEnded(pid, &killed); })) << "instance " << pid;
    EXPECT_TRUE(killed) << "instance " << pid;
  }
  const std::vector<fake_app::Run> runs = fake_app::WaitForRuns(app_, 3);
  ASSERT_EQ(runs.size(), 3u) << "started again once";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(kill(runs[2].pid, 0), 0) << "the instance started again was stopped";
  EXPECT_EQ(fake_app::Runs(app_).size(), 3u);
  EXPECT_EQ(runs[2].cwd, dir_.path());
  // What the updater set for its own start-up stays its own.
  EXPECT_EQ(runs[2].gdk_gl, runs[0].gdk_gl);
  EXPECT_EQ(ExeOf(runs[2].pid), app_) << "the new file runs";
  EXPECT_EQ(Files(dir_.path()), Installed(before));
  EXPECT_EQ(Names(dir_ / "update"), "installed.record installed.zip");
  EXPECT_TRUE(IsDir(dir_ / "update/updater.log"));
  EXPECT_NE(Log().find("Outcome: installed\n"), std::string::npos) << Log();
}

TEST_F(WholeProgram, RightButtonReleaseClosesThePromptWithoutInstalling) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  pid_t app = -1;
  Tree before;
  Geometry prompt;
  ASSERT_NO_FATAL_FAILURE(StartUpdaterToItsPrompt(&app, &before, &prompt));
  // Pressed outside the prompt (a press on it opens the message box),
  // released over it.
  const auto at = [&](int dx, int dy) {
    return std::vector<std::string>{std::to_string(prompt.x + dx), std::to_string(prompt.y + dy)};
  };
  std::vector<std::string> gesture{"mousemove"};
  for (const auto& part : at(-20, -20)) gesture.push_back(part);
  gesture.insert(gesture.end(), {"mousedown", "3", "mousemove"});
  for (const auto& part : at(100, 100)) gesture.push_back(part);
  gesture.insert(gesture.end(), {"mouseup", "3"});
  const RunResult release = Xdotool(gesture);
  ASSERT_EQ(release.exit_code, 0) << release.err;

  ExpectClosedWithoutInstalling(before, app);
}

TEST_F(WholeProgram, RightClickOnThePromptClosesItOnceTheMessageBoxIsDismissed) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  pid_t app = -1;
  Tree before;
  Geometry prompt;
  ASSERT_NO_FATAL_FAILURE(StartUpdaterToItsPrompt(&app, &before, &prompt));
  const RunResult click = Xdotool(
      {"mousemove", std::to_string(prompt.x + 100), std::to_string(prompt.y + 100), "click", "3"});
  ASSERT_EQ(click.exit_code, 0) << click.err;
  // The press shows the message box; the box takes the release.
  const std::string box = WaitForUpdaterWindow("\xe6\xb6\x88\xe6\x81\xaf\xe6\x8f\x90\xe9\x86\x92");
  ASSERT_FALSE(box.empty()) << "no message box\n" << Log();
  EXPECT_EQ(Xdotool({"getwindowname", prompt.window}).exit_code, 0) << "the prompt stays up";
  const RunResult dismiss = Xdotool({"windowfocus", "--sync", box, "key", "Return"});
  ASSERT_EQ(dismiss.exit_code, 0) << dismiss.err;

  ExpectClosedWithoutInstalling(before, app);
  EXPECT_NE(UpdaterLog().find("] Outcome: prompt closed without installing\n"), std::string::npos)
      << UpdaterLog();
}

// Only the prompt needs a display: without one, a running application's
// update installs nothing and says why, and once the application has ended
// the update installs.
TEST_F(WholeProgram, OnlyThePromptNeedsADisplay) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  const pid_t app = StartMainApp();
  ASSERT_GT(app, 0);
  const Tree before = Files(dir_.path());

  StartUpdater(Display::kNone);
  ExpectClosedWithoutInstalling(before, app);
  EXPECT_NE(UpdaterLog().find("] Outcome: install failed: the restart prompt could not be shown\n"),
            std::string::npos)
      << UpdaterLog();

  ASSERT_EQ(kill(app, SIGKILL), 0);
  bool killed = false;
  ASSERT_TRUE(Eventually([&] { return MainAppEnded(app, &killed); }));
  StartUpdater(Display::kNone);
  EXPECT_EQ(WaitUpdater(60), 1) << Log();
  EXPECT_EQ(Files(dir_.path()), Installed(before));
  EXPECT_EQ(Names(dir_ / "update"), "installed.record installed.zip");
}

TEST_F(WholeProgram, ARefusedPackageChangesNothingAndSaysWhy) {
  // An entry that would land outside the installation.
  const RunResult zip = RunProgram({"/usr/bin/python3", "-c",
                                    "import sys, zipfile\n"
                                    "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                    "  z.writestr('readme.txt', 'new')\n"
                                    "  z.writestr('../outside.txt', 'escaped')\n",
                                    served_ / "update.zip"},
                                   "/");
  ASSERT_EQ(zip.exit_code, 0) << zip.err;
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  const Tree before = Snapshot(dir_.path());

  const RunResult run = RunProgram({updater_}, dir_.path(), 60);

  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  Tree expected = before;
  expected["update/update.zip"] = ReadFile(served_ / "update.zip");
  // Every name is checked before anything is written.
  expected["update/pending.record"] = ReadFile(dir_ / "update/pending.record");
  EXPECT_EQ(WithoutLog(Snapshot(dir_.path())), expected);
  const std::string log = UpdaterLog();
  EXPECT_NE(log.find("] refusing entry outside the destination: "), std::string::npos) << log;
  EXPECT_NE(log.find("] Outcome: package refused: "), std::string::npos) << log;
}

// The installed package again: asked for on condition, answered 304 by
// nginx, or 200 with the same bytes once the file has a new date; a
// damaged record or a new package installs.
TEST_F(WholeProgram, NothingNewOnTheServerMeansNothingDone) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ASSERT_EQ(RunProgram({updater_}, dir_.path(), 60).exit_code, 1);
  ASSERT_EQ(Names(dir_ / "update"), "installed.record installed.zip");
  const std::string record = ReadFile(dir_ / "update/installed.record");
  EXPECT_NE(record.find("etag=\""), std::string::npos) << record;
  EXPECT_NE(record.find("last-modified="), std::string::npos) << record;

  const pid_t app = StartMainApp();
  ASSERT_GT(app, 0);
  MapWatch watch;
  ASSERT_TRUE(watch.ok());
  // Everything but the record, whose server dates may be brought up to date.
  const auto installation = [&] {
    Tree files = Files(dir_.path());
    files.erase("update/installed.record");
    return files;
  };
  const Tree installed = installation();
  const auto expect_nothing_done = [&](const std::string& answer) {
    const RunResult run = RunProgram({updater_}, dir_.path(), 60);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("No new package\n"), std::string::npos) << run.out;
    EXPECT_EQ(watch.Mapped(), 0) << "a window was shown";
    EXPECT_EQ(installation(), installed);
    EXPECT_EQ(Names(dir_ / "update"), "installed.record installed.zip");
    const std::string log = server.AccessLog();
    const std::string last = log.substr(log.rfind("\"GET "));
    EXPECT_EQ(last.find("\"GET " + kPackagePath + " HTTP/1.1\" " + answer), 0u) << log;
    // Every transfer has its line in the updater's log, a 304 too.
    const std::string own = UpdaterLog();
    const size_t line = own.rfind("] Transfer of ");
    ASSERT_NE(line, std::string::npos) << own;
    EXPECT_NE(own.find(": HTTP " + answer.substr(0, 3) + ", ", line), std::string::npos) << own;
  };
  expect_nothing_done("304 0 ");
  // Written again: same bytes, a new date, so nginx sends it all.
  WriteFile(served_ / "update.zip", ReadFile(served_ / "update.zip"));
  const RunResult touch =
      RunProgram({"/usr/bin/touch", "-d", "+1 hour", served_ / "update.zip"}, "/");
  ASSERT_EQ(touch.exit_code, 0);
  expect_nothing_done("206 ");
  expect_nothing_done("304 0 ");  // asked with the new date
  bool killed = false;
  EXPECT_FALSE(MainAppEnded(app, &killed)) << "the main application was stopped";
  kill(app, SIGKILL);
  EXPECT_TRUE(Eventually([&] { return MainAppEnded(app, &killed); }));

  WriteFile(dir_ / "update/installed.record", "blake2b=damaged\n");
  RunResult run = RunProgram({updater_}, dir_.path(), 60);
  EXPECT_EQ(run.out.find("No new package"), std::string::npos) << run.out;
  EXPECT_EQ(Names(dir_ / "update"), "installed.record installed.zip");
  EXPECT_EQ(ReadFile(dir_ / "update/installed.record").substr(0, 136), record.substr(0, 136));

  // A newer package, its file dated before the installed one's.
  WriteFile(package_ / "data/prices.txt", "prices of a newer version\n");
  ASSERT_NO_FATAL_FAILURE(ZipPackage());
  run = RunProgram({updater_}, dir_.path(), 60);
  EXPECT_EQ(ReadFile(dir_ / "data/prices.txt"), "prices of a newer version\n") << run.out;
  EXPECT_NE(ReadFile(dir_ / "update/installed.record"), record);
}

// A second build of the whole program, as a publisher makes it: an https
// address on the package port and a CA file of its own, made here by
// openssl, into which its private key has slipped.
TEST_F(WholeProgram, HttpsBuildWithItsOwnCaInstallsAndCarriesNoKey) {
  TempDir pki;
  ASSERT_EQ(RunProgram({MAKE_CERTIFICATES, pki.path()}, "/", 120).exit_code, 0);
  WriteFile(pki / "publisher.pem", ReadFile(pki / "ca.pem") + ReadFile(pki / "ca.key"));
  const std::string url = "https://localhost:" + std::to_string(port_) + kPackagePath;
  const RunResult configure =
      RunProgram({CMAKE_EXE, "-S", SOURCE_DIR, "-B", HTTPS_BUILD_DIR, "-DUPDATER_TESTS=OFF",
                  "-DCMAKE_BUILD_TYPE=" BUILD_TYPE, "-DUPDATER_PACKAGE_URL=" + url,
                  std::string("-DUPDATER_CREDENTIALS=") + config::kCredentials,
                  std::string("-DUPDATER_MAIN_APP=") + config::kMainApp,
                  "-DUPDATER_CA_FILE=" + pki / "publisher.pem"},
                 "/", 300);
  ASSERT_EQ(configure.exit_code, 0) << configure.out << configure.err;
  const RunResult build =
      RunProgram({CMAKE_EXE, "--build", HTTPS_BUILD_DIR, "--target", "updater", "-j2"}, "/", 1500);
  ASSERT_EQ(build.exit_code, 0) << build.out << build.err;
  const std::string program = ReadFile(HTTPS_BUILD_DIR "/updater");
  EXPECT_EQ(program.find("PRIVATE KEY"), std::string::npos);
  const std::string ca = ReadFile(pki / "ca.pem");
  EXPECT_NE(program.find(ca.substr(0, ca.find("-----END"))), std::string::npos);
  CopyFile(HTTPS_BUILD_DIR "/updater", updater_);
  Nginx server(served_.path(), config::kCredentials, port_,
               {pki / "server.pem", pki / "server.key"});
  ASSERT_TRUE(server.started()) << server.failure();
  const Tree before = Files(dir_.path());

  const RunResult run = RunProgram({updater_}, dir_.path(), 60);

  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_EQ(Files(dir_.path()), Installed(before)) << run.out;
  EXPECT_EQ(Names(dir_ / "update"), "installed.record installed.zip");
  // Over TLS nginx speaks HTTP/2 with a client that offers it.
  EXPECT_NE(server.AccessLog().find("GET " + kPackagePath + " HTTP/2.0\" 200 "), std::string::npos)
      << server.AccessLog();
}

TEST_F(WholeProgram, WithoutAPackageNothingChangesAndNoWindowOpens) {
  ASSERT_FALSE(PortAccepts(port_)) << "something serves the package port " << port_;
  const pid_t app = StartMainApp();
  ASSERT_GT(app, 0);
  const Tree before = Snapshot(dir_.path());
  MapWatch watch;
  ASSERT_TRUE(watch.ok());

  const RunResult run = RunProgram({updater_}, dir_.path(), 120);

  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_EQ(watch.Mapped(), 0) << "a window was shown";
  EXPECT_EQ(WithoutLog(Snapshot(dir_.path())), before);
  bool killed = false;
  EXPECT_FALSE(MainAppEnded(app, &killed)) << "the main application was stopped";
  // No package came and none was waiting: nothing is even opened.
  const std::string log = UpdaterLog();
  EXPECT_EQ(log.find("Cannot open"), std::string::npos) << log;
  EXPECT_NE(log.find("] Outcome: download failed: Couldn't connect to server\n"), std::string::npos)
      << log;
}

// The updater built with the public keys of the test keys "trusted" and
// "rotated" (in that order); packages signed by the real minisign.
class SignedPackage : public WholeProgram {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(WholeProgram::SetUp());
    CopyFile(UPDATER_SIGNED_EXE, updater_);
  }

  // Signs `file` with a test key into `file` + ".minisig"; extra arguments
  // go to minisign (-t comment, -l).
  void Sign(const std::string& file, const std::string& key,
            const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{MINISIGN, "-S", "-s", std::string(TEST_KEYS "/") + key + ".key",
                                  "-m",     file};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const RunResult r = RunProgram(argv, "/", 30);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }

  // One run with the main application running: it must refuse the served
  // package with `reason`, extract and install nothing, leave update/ as it
  // was and the application running, and show no window.
  void ExpectRefused(const std::string& reason) {
    if (children_.empty()) {
      ASSERT_GT(StartMainApp(), 0);
    }
    const pid_t app = children_.front();
    const Tree before = Files(dir_.path());
    MapWatch watch;
    ASSERT_TRUE(watch.ok());
    const RunResult run = RunProgram({updater_}, dir_.path(), 60);
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    EXPECT_EQ(watch.Mapped(), 0) << "a window was shown";
    EXPECT_EQ(Files(dir_.path()), before);
    EXPECT_NE(run.out.find("Update package refused: " + reason), std::string::npos) << run.out;
    bool killed = false;
    EXPECT_FALSE(MainAppEnded(app, &killed)) << "the main application was stopped";
    EXPECT_EQ(fake_app::Runs(app_).size(), 1u) << "something was started";
  }

  // One run without the main application: it must install the package,
  // leaving update/ with the package and its record alone. Returns what it
  // wrote.
  std::string ExpectInstalled() {
    Tree before = Files(dir_.path());
    for (auto it = before.begin(); it != before.end();)
      it = it->first.rfind("update/", 0) == 0 ? before.erase(it) : std::next(it);
    const RunResult run = RunProgram({updater_}, dir_.path(), 60);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("Package signature verified"), std::string::npos) << run.out;
    EXPECT_EQ(Files(dir_.path()), Installed(before)) << run.out;
    EXPECT_EQ(Names(dir_ / "update"), Exists(dir_ / "update/single-ranges.state")
                                          ? "installed.record installed.zip single-ranges.state"
                                          : "installed.record installed.zip");
    EXPECT_TRUE(ReadFile(dir_ / "update/installed.zip") == ReadFile(served_ / "update.zip"));
    return run.out;
  }

  const std::string zip_ = served_ / "update.zip";
  const std::string signature_ = zip_ + ".minisig";
  TempDir package_scratch_;
};

TEST_F(SignedPackage, AGoodSignatureInstallsAndItsTimestampIsRecorded) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-t", "timestamp:1800000000\tfile:update.zip"}));
  const Tree before = Files(dir_.path());

  const RunResult run = RunProgram({updater_}, dir_.path(), 60);

  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.out.find("Package signature verified"), std::string::npos) << run.out;
  EXPECT_EQ(Files(dir_.path()), Installed(before)) << run.out;
  const std::string record = ReadFile(dir_ / "update/installed.record");
  EXPECT_EQ(record.find("timestamp=1800000000\n"), 0u) << record;
  EXPECT_NE(record.find("size=" + std::to_string(ReadFile(zip_).size()) + "\n"), std::string::npos)
      << record;
  EXPECT_NE(server.AccessLog().find("GET " + kPackagePath + ".minisig HTTP/1.1\" 200"),
            std::string::npos)
      << server.AccessLog();
}

TEST_F(SignedPackage, TheSecondKeyOfTheListVerifiesToo) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "rotated"));
  ExpectInstalled();
}

TEST_F(SignedPackage, APackagePlacedByHandIsCheckedAgainstTheSignatureBesideIt) {
  ASSERT_FALSE(PortAccepts(port_)) << "something serves the package port " << port_;
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
  CopyFile(zip_, dir_ / "update/update.zip");
  CopyFile(signature_, dir_ / "update/update.zip.minisig");
  ExpectInstalled();
}

// Each way a package can fail to be genuine, refused before extraction.
TEST_F(SignedPackage, AFlippedByteIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
  std::string bytes = ReadFile(zip_);
  bytes[bytes.size() / 2] ^= 1;
  WriteFile(zip_, bytes);
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ExpectRefused("its signature does not match the package (key id ");
}

TEST_F(SignedPackage, TheSignatureOfAnotherFileIsRefused) {
  WriteFile(served_ / "other.zip", "another file");
  ASSERT_NO_FATAL_FAILURE(Sign(served_ / "other.zip", "trusted"));
  CopyFile(served_ / "other.zip.minisig", signature_);
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ExpectRefused("its signature does not match the package");
}

TEST_F(SignedPackage, ASignatureByAnotherKeyIsRefusedWithItsKeyId) {
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "stranger"));
  const std::string pub = ReadFile(TEST_KEYS "/stranger.pub");
  // minisign's comment drops the key id's leading zeros; the line keeps all
  // sixteen digits.
  const size_t at = pub.find("public key ") + 11;
  std::string id = pub.substr(at, pub.find('\n', at) - at);
  id.insert(0, 16 - std::min<size_t>(id.size(), 16), '0');
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ExpectRefused("it is signed with key id " + id + ", which this updater does not trust");
}

// A signature that is not there yet (a publisher half-way through an
// upload): nothing is installed, the package waits beside the validator it
// came with, and the next run fetches only the signature.
TEST_F(SignedPackage, AMissingSignatureLeavesThePackageWaitingForTheNextRun) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  const RunResult run = RunProgram({updater_}, dir_.path(), 60);
  EXPECT_NE(run.out.find("Outcome: download failed: the package's signature could not be "
                         "fetched (the server answered HTTP 404)"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(Names(dir_ / "update"), "update.zip update.zip.id");

  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
  const std::string out = ExpectInstalled();
  EXPECT_NE(out.find("The package that waited for its signature is still the server's"),
            std::string::npos)
      << out;
  const std::string log = server.AccessLog();
  size_t whole = 0;
  for (size_t at = 0; (at = log.find(kPackagePath + " HTTP/1.1\" 200", at)) != std::string::npos;
       ++at)
    ++whole;
  EXPECT_EQ(whole, 1u) << log;
}

TEST_F(SignedPackage, ATruncatedOrGarbageSignatureIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
  const std::string good = ReadFile(signature_);
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  WriteFile(signature_, good.substr(0, good.size() / 2));
  ExpectRefused("its signature file update.zip.minisig is damaged");
  WriteFile(signature_, "<html>Not the signature</html>\n");
  ExpectRefused("its signature file update.zip.minisig is damaged");
}

TEST_F(SignedPackage, AChangedTrustedCommentIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-t", "timestamp:1800000000"}));
  std::string signature = ReadFile(signature_);
  const size_t at = signature.find("timestamp:1800000000");
  ASSERT_NE(at, std::string::npos);
  signature.replace(at, 20, "timestamp:1900000000");
  WriteFile(signature_, signature);
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ExpectRefused("its trusted comment does not match its signature");
}

TEST_F(SignedPackage, ALegacySignatureIsRefusedWithAdvice) {
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-l"}));
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ExpectRefused("it is signed with minisign's legacy algorithm");
}

TEST_F(SignedPackage, AnOlderOrUndatedPackageAfterANewerInstallIsRefused) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-t", "timestamp:1800000000"}));
  ASSERT_NO_FATAL_FAILURE(ExpectInstalled());

  // An earlier release, validly signed, replayed.
  WriteFile(package_ / "data/prices.txt", "prices of an older version\n");
  ASSERT_NO_FATAL_FAILURE(ZipPackage());
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-t", "timestamp:1700000000"}));
  ExpectRefused("it is older than the installed package");
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-t", "release without a date"}));
  ExpectRefused("it has no signed timestamp, and the installed package has one");
  EXPECT_EQ(ReadFile(dir_ / "update/installed.record").find("timestamp=1800000000\n"), 0u);

  // The record as an earlier version wrote it still guards the timestamp.
  WriteFile(dir_ / "update/installed.record",
            "timestamp=1800000000\nsha256=" + std::string(64, 'a') + "\nsize=20\n");
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-t", "timestamp:1700000000"}));
  ExpectRefused("it is older than the installed package");
}

// A zip that no trusted key signed, as an earlier interrupted run or an
// attacker could have left it in update/.
std::string HostileZip(const TempDir& dir) {
  WriteFile(dir / "evil.txt", "not from the publisher");
  const RunResult zip = RunProgram({kZip, "-q", dir / "hostile.zip", "evil.txt"}, dir.path());
  EXPECT_EQ(zip.exit_code, 0) << zip.err;
  return ReadFile(dir / "hostile.zip");
}

// The genuine package breaks off half-way, then the server answers a
// success without a body: nothing was stored in this run, so nothing it
// received is verified, and whatever update.zip was there speaks for itself.
TEST_F(SignedPackage, ASuccessWithoutABodyAfterABrokenAttemptUnpacksNothing) {
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
  const size_t size = ReadFile(zip_).size();
  const std::string hostile = HostileZip(package_scratch_);
  const std::string range = "bytes " + std::to_string(size / 2) + "-" + std::to_string(size - 1) +
                            "/" + std::to_string(size);
  for (const std::string status : {"200", "204", "206"}) {
    for (const bool left_behind : {false, true}) {
      SCOPED_TRACE(status + (left_behind ? " over a hostile update.zip" : ""));
      if (left_behind) WriteFile(dir_ / "update/update.zip", hostile);
      const std::string headers =
          status == "206" ? "{\"Content-Range\": \"" + range + "\"}" : std::string("{}");
      FaultServer server(
          {},
          "[{\"mode\": \"package\", \"package\": \"" + zip_ +
              "\", \"etag\": \"\\\"v2\\\"\", \"cut_after\": " + std::to_string(size / 2) +
              "}, {\"mode\": \"empty\", \"status\": " + status + ", \"headers\": " + headers + "}]",
          port_);
      ASSERT_TRUE(server.listening());
      const Tree before = WithoutLog(Snapshot(dir_.path()));

      const RunResult run = RunProgram({updater_}, dir_.path(), 60);

      EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
      EXPECT_EQ(run.out.find("Package signature verified"), std::string::npos) << run.out;
      Tree expected = before;
      expected.erase("update/update.zip");  // the hostile one is refused and removed
      EXPECT_EQ(WithoutLog(Snapshot(dir_.path())), expected) << run.out;
      EXPECT_NE(run.out.find(left_behind ? "Outcome: package refused: its signature file "
                                           "update.zip.minisig is missing or cannot be read\n"
                                         : "Outcome: download failed: the server's answer "
                                           "held no package\n"),
                std::string::npos)
          << run.out;
    }
  }
}

// A refused package that cannot be removed (on Windows a scanner holding it
// open is enough; here the immutable attribute) ends the run saying so, and
// the next run refuses it again from its own bytes.
TEST_F(SignedPackage, ARefusedPackageThatCannotBeRemovedIsSaidToStay) {
  const std::string package = dir_ / "update/update.zip";
  WriteFile(package, HostileZip(package_scratch_));
  FaultServer server({"--mode", "status", "--status", "404"}, "", port_);
  ASSERT_TRUE(server.listening());
  ASSERT_EQ(RunProgram({"/usr/bin/chattr", "+i", package}, "/").exit_code, 0);
  for (int run_number = 1; run_number <= 2; ++run_number) {
    const RunResult run = RunProgram({updater_}, dir_.path(), 60);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("Cannot remove " + package + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Outcome: package refused: its signature file update.zip.minisig is "
                           "missing or cannot be read; it could not be removed\n"),
              std::string::npos)
        << run.out;
    EXPECT_FALSE(Exists(dir_ / "update/unzip"));
  }
  RunProgram({"/usr/bin/chattr", "-i", package}, "/");
}

// A fresh installation has no record to compare with: the build's floor
// keeps a validly signed old release out all the same.
TEST_F(SignedPackage, AnOldReleaseIsRefusedByAFreshInstallation) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted", {"-t", "timestamp:1700000000"}));
  ExpectRefused("it is older than this updater accepts (signed at 1700000000");
}

// Delta updates: release 1 installed whole, each later release rebuilt
// from the one before it, kept in update/.
class DeltaUpdate : public SignedPackage {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SignedPackage::SetUp());
    WriteFile(package_ / "data/tables.bin", Noise(512 * 1024, 88172645463325252u));
    ASSERT_NO_FATAL_FAILURE(ZipPackage());
    ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
    Nginx server(served_.path(), config::kCredentials, port_);
    ASSERT_TRUE(server.started()) << server.failure();
    ASSERT_NO_FATAL_FAILURE(ExpectInstalled());
  }

  // The next release: one small file changed, another renamed, everything
  // zipped afresh with new times, and signed.
  void NextRelease() {
    ++release_;
    WriteFile(package_ / "data/prices.txt", "prices of release " + std::to_string(release_) + "\n");
    const std::string moved =
        package_ / ("plugins/reports/monthly-" + std::to_string(release_) + ".txt");
    for (const auto& [name, content] : Snapshot(package_ / "plugins/reports"))
      RemoveTree(package_ / ("plugins/reports/" + name));
    WriteFile(moved, "a file in a new directory\n");
    ASSERT_EQ(RunProgram({"/usr/bin/touch", "-d", "+" + std::to_string(release_) + " hours", "-c",
                          package_ / "data/tables.bin"},
                         "/")
                  .exit_code,
              0);
    ASSERT_NO_FATAL_FAILURE(ZipPackage());
    // nginx's entity tag is the file's time and size: releases made in one
    // second must not look the same.
    ASSERT_EQ(
        RunProgram({"/usr/bin/touch", "-d", "+" + std::to_string(release_) + " minutes", zip_}, "/")
            .exit_code,
        0);
    ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
  }

  // Data that does not shrink, so that what a delta saves shows.
  static std::string Noise(size_t size, uint64_t state) {
    std::string noise(size, '\0');
    for (char& c : noise) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      c = static_cast<char>(state >> 56);
    }
    return noise;
  }

  // The bytes the delta line says it fetched.
  static uint64_t Fetched(const std::string& out) {
    const size_t at = out.find("Delta update: ");
    return at == std::string::npos ? UINT64_MAX : std::stoull(out.substr(at + 14));
  }

  int release_ = 1;
};

TEST_F(DeltaUpdate, TheNextReleaseIsRebuiltFromTheKeptOneOverNginx) {
  ASSERT_TRUE(ReadFile(dir_ / "update/installed.zip") == ReadFile(zip_));
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  // What a killed run's delta left goes (ExpectInstalled checks update/).
  WriteFile(dir_ / "update/update.zip.delta", "ranges of a killed run");

  const std::string out = ExpectInstalled();

  EXPECT_LT(Fetched(out), ReadFile(zip_).size() / 4) << out;
  EXPECT_NE(server.AccessLog().find("\" 206 "), std::string::npos) << server.AccessLog();
  // The tail, the ranges and the signature share one connection.
  EXPECT_NE(out.find(" over 1 connection, "), std::string::npos) << out;
}

// A rebuilt package that its signature proved is not fetched again when it
// cannot be unpacked for a reason of this machine's own.
TEST_F(DeltaUpdate, AProvedRebuiltPackageIsNotDownloadedAgainForALocalFailure) {
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  const std::string stuck = dir_ / "update/unzip/stuck";
  MakeDirs(dir_ / "update/unzip");
  WriteFile(stuck, "a file that even root cannot remove");
  ASSERT_EQ(RunProgram({"/usr/bin/chattr", "+i", stuck}, "/").exit_code, 0);
  const RunResult run = RunProgram({updater_}, dir_.path(), 60);
  RunProgram({"/usr/bin/chattr", "-i", stuck}, "/");
  EXPECT_NE(run.out.find("Delta update: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Package signature verified"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Outcome: package refused: it cannot be unpacked completely"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(server.AccessLog().find(kPackagePath + " HTTP/1.1\" 200"), std::string::npos)
      << server.AccessLog();
}

// Servers that answer ranges each in their own way, and one whose package
// changes between the tail and the ranges: every one ends in the release
// installed, by delta where the server allows it.
TEST_F(DeltaUpdate, EveryKindOfServerEndsInTheReleaseInstalled) {
  struct Kind {
    const char* options;  // for the fault server's package answers
    const char* line;     // what the run says of the delta
  } kinds[] = {
      {"\"lf_only\": true", "Delta update: "},
      {"\"first_range_only\": true", "Delta update: "},
      {"\"ignore_range\": true",
       "Delta update not used (the server does not answer range requests)"},
      // A weak entity tag names nothing for a range; a date does, once it
      // is a minute old, and a fresh one means the whole package at once.
      {"\"etag\": \"W/\\\"weak\\\"\", \"last_modified\": \"Tue, 08 Dec 2026 03:00:00 GMT\", "
       "\"date\": true",
       "Delta update: "},
      {"\"etag\": \"W/\\\"fresh\\\"\", \"last_modified\": \"now\", \"date\": true",
       "Delta update not used (the server does not identify its package)"},
      // No validator at all: the signature proves the rebuilt package.
      {"\"etag\": \"\", \"date\": true", "Delta update: "},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.options);
    ASSERT_NO_FATAL_FAILURE(NextRelease());
    FaultServer server({},
                       "[{\"mode\": \"package\", \"package\": \"" + zip_ + "\", \"signature\": \"" +
                           signature_ + "\", \"etag\": \"\\\"r" + std::to_string(release_) +
                           "\\\"\", " + kind.options + "}]",
                       port_);
    ASSERT_TRUE(server.listening());
    const std::string out = ExpectInstalled();
    EXPECT_NE(out.find(kind.line), std::string::npos) << out;
  }

  // The installed package again, named by nothing: its end alone says so,
  // in one request.
  {
    FaultServer server(
        {},
        "[{\"mode\": \"package\", \"package\": \"" + zip_ + "\", \"etag\": \"\", \"date\": true}]",
        port_);
    ASSERT_TRUE(server.listening());
    const RunResult run = RunProgram({updater_}, dir_.path(), 60);
    EXPECT_NE(run.out.find("No new package"), std::string::npos) << run.out;
    EXPECT_EQ(server.Requests().size(), 1u) << run.out;
  }

  // Replaced between the tail and the ranges: If-Range notices, and the
  // plan starts again on the newer package.
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  CopyFile(zip_, package_scratch_ / "older.zip");
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  FaultServer server({},
                     "[{\"mode\": \"package\", \"package\": \"" + package_scratch_ / "older.zip" +
                         "\", \"etag\": \"\\\"older\\\"\"}, {\"mode\": \"package\", "
                         "\"package\": \"" +
                         zip_ + "\", \"signature\": \"" + signature_ +
                         "\", \"etag\": \"\\\"newer\\\"\"}]",
                     port_);
  ASSERT_TRUE(server.listening());
  const std::string out = ExpectInstalled();
  EXPECT_NE(out.find("the package changed on the server while it was fetched; planning again"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Delta update: "), std::string::npos) << out;
}

// Caches and object stores refuse several ranges in one request, each in
// its own way: every refusal switches to single ranges at once, without a
// busy server's back-off, and the next run starts with single ranges.
TEST_F(DeltaUpdate, ARefusalOfSeveralRangesIsTakenAtOnceAndRemembered) {
  const std::string state = dir_ / "update/single-ranges.state";
  const auto serve = [this](const std::string& status) {
    return "[{\"mode\": \"package\", \"package\": \"" + zip_ + "\", \"signature\": \"" +
           signature_ + "\", \"etag\": \"\\\"r" + std::to_string(release_) +
           "\\\"\", \"refuse_several\": " + status + "}]";
  };
  const auto several = [](const FaultServer& server) {
    size_t count = 0;
    for (const auto& request : server.Requests())
      count += request.range.find(',') != std::string::npos;
    return count;
  };
  for (const char* status : {"503", "416", "400", "200"}) {
    SCOPED_TRACE(status);
    RemoveTree(state);
    ASSERT_NO_FATAL_FAILURE(NextRelease());
    FaultServer server({}, serve(status), port_);
    ASSERT_TRUE(server.listening());
    const std::string out = ExpectInstalled();
    EXPECT_NE(out.find("Delta update: "), std::string::npos) << out;
    EXPECT_EQ(out.find("next attempt in"), std::string::npos) << out;
    EXPECT_EQ(several(server), 1u);
    EXPECT_TRUE(Exists(state));
  }
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  FaultServer server({}, serve("503"), port_);
  ASSERT_TRUE(server.listening());
  EXPECT_NE(ExpectInstalled().find("Delta update: "), std::string::npos);
  EXPECT_EQ(several(server), 0u);
}

// Python's zipfile repeats its central records in its local headers: the
// delta predicts those of the reused entries. A release whose local header
// breaks that habit is refused by its signature, and the delta runs again,
// fetching the headers.
TEST_F(DeltaUpdate, LocalHeadersArePredictedAndAWrongPredictionFetchesThem) {
  // The release zipped again by Python's zipfile, one entry's local time
  // changed afterwards where `patch` names one, and signed.
  const auto python_release = [this](const std::string& patch) {
    ASSERT_NO_FATAL_FAILURE(NextRelease());
    const RunResult zip =
        RunProgram({"/usr/bin/python3", "-c",
                    "import os, sys, zipfile\n"
                    "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                    "  for d, ds, fs in os.walk('.'):\n"
                    "    ds.sort()\n"
                    "    for f in sorted(fs): z.write(os.path.join(d, f), os.path.join(d, f)[2:])\n"
                    "if sys.argv[2]:\n"
                    "  at = zipfile.ZipFile(sys.argv[1]).getinfo(sys.argv[2]).header_offset + 10\n"
                    "  with open(sys.argv[1], 'r+b') as f:\n"
                    "    f.seek(at); b = f.read(1); f.seek(at); f.write(bytes([b[0] ^ 1]))\n",
                    zip_, patch},
                   package_.path());
    ASSERT_EQ(zip.exit_code, 0) << zip.err;
    ASSERT_EQ(
        RunProgram({"/usr/bin/touch", "-d", "+" + std::to_string(release_) + " minutes", zip_}, "/")
            .exit_code,
        0);
    ASSERT_NO_FATAL_FAILURE(Sign(zip_, "trusted"));
  };
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ASSERT_NO_FATAL_FAILURE(python_release(""));
  ExpectInstalled();
  ASSERT_NO_FATAL_FAILURE(python_release(""));
  std::string out = ExpectInstalled();
  EXPECT_NE(out.find(" local headers predicted"), std::string::npos) << out;
  ASSERT_NO_FATAL_FAILURE(python_release("data/tables.bin"));
  out = ExpectInstalled();
  EXPECT_NE(out.find("The package rebuilt with predicted local headers is not the signed one"),
            std::string::npos)
      << out;
  const size_t second = out.find("Delta update: ", out.find("not the signed one"));
  ASSERT_NE(second, std::string::npos) << out;
  EXPECT_EQ(out.find(" local headers predicted", second), std::string::npos) << out;
}

// Hundreds of reused entries, each a local header to fetch: their ranges
// fill two requests, which go together (each on a connection of its own,
// unless the first one's answer is in before the second goes), their
// multipart answers arriving interleaved.
TEST_F(DeltaUpdate, RequestsOfManyRangesGoTogether) {
  for (int i = 0; i < 400; ++i)
    WriteFile(package_ / ("data/part-" + std::to_string(i) + ".bin"), Noise(1000, i + 1));
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  ExpectInstalled();
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  const std::string out = ExpectInstalled();
  EXPECT_NE(out.find("Delta update: "), std::string::npos) << out;
  EXPECT_NE(out.find(" in 3 requests over "), std::string::npos) << out;
}

// A delta cut off (here the run is killed while a range arrives) is
// continued by the next run while the server has the same package, and
// started afresh when it has another; one that has not finished in two
// runs gives way to the whole download.
TEST_F(DeltaUpdate, ACutOffDeltaIsContinuedWhileTheServerHasTheSamePackage) {
  // Each release adds 1.5 MB that the delta fetches, beside 6 MB it reuses.
  const auto release = [this] {
    WriteFile(package_ / "data/added.bin", Noise(1500000, release_));
    ASSERT_NO_FATAL_FAILURE(NextRelease());
  };
  const auto serve = [this](const std::string& ranges) {
    const std::string package = "{\"mode\": \"package\", \"package\": \"" + zip_ +
                                "\", \"signature\": \"" + signature_ + "\", \"etag\": \"\\\"r" +
                                std::to_string(release_) + "\\\"\"";
    return "[" + package + "}, " + package + ranges + "}]";
  };
  // The range answer stalls after 700,000 bytes; once they are in the
  // spool the run is killed.
  const auto killed_mid_range = [&] {
    FaultServer server({}, serve(", \"cut_after\": 700000, \"stall\": true"), port_);
    ASSERT_TRUE(server.listening());
    const pid_t updater = SpawnLogged({updater_}, dir_.path(), package_scratch_ / "killed.log");
    const std::string spool = dir_ / "update/update.zip.delta";
    size_t size = 0;
    for (int i = 0, still = 0; i < 300 && still < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const size_t now = Exists(spool) ? ReadFile(spool).size() : 0;
      still = server.Requests().size() >= 2 && now == size && now > 0 ? still + 1 : 0;
      size = now;
    }
    kill(updater, SIGKILL);
    WaitChild(updater, 10);
  };
  // A run to its end, served whole.
  const auto installed = [&] {
    FaultServer server({}, serve(""), port_);
    EXPECT_TRUE(server.listening());
    return ExpectInstalled();
  };
  WriteFile(package_ / "data/base.bin", Noise(6 << 20, 7));
  ASSERT_NO_FATAL_FAILURE(release());
  installed();
  ASSERT_NO_FATAL_FAILURE(release());
  ASSERT_NO_FATAL_FAILURE(killed_mid_range());
  std::string out = installed();
  EXPECT_NE(out.find(" fetched by an earlier run"), std::string::npos) << out;
  EXPECT_LT(Fetched(out), 1100000u) << out;

  ASSERT_NO_FATAL_FAILURE(release());
  ASSERT_NO_FATAL_FAILURE(killed_mid_range());
  ASSERT_NO_FATAL_FAILURE(release());
  out = installed();
  EXPECT_NE(out.find("Delta update: "), std::string::npos) << out;
  EXPECT_EQ(out.find(" fetched by an earlier run"), std::string::npos) << out;

  ASSERT_NO_FATAL_FAILURE(release());
  ASSERT_NO_FATAL_FAILURE(killed_mid_range());
  ASSERT_NO_FATAL_FAILURE(killed_mid_range());
  out = installed();
  EXPECT_NE(out.find("Delta update not used (it did not finish in 2 runs)"), std::string::npos)
      << out;
}

// Varnish caching the package answers several ranges with 416 and single
// ones from its cache: the delta goes on with single ranges.
TEST_F(DeltaUpdate, BehindVarnishTheDeltaTakesSingleRanges) {
  if (!Exists("/usr/sbin/varnishd")) GTEST_SKIP() << "no Varnish here (scripts/setup --tests)";
  ASSERT_NO_FATAL_FAILURE(NextRelease());
  Nginx origin(served_.path(), config::kCredentials);
  ASSERT_TRUE(origin.started()) << origin.failure();
  Varnish cache(port_, origin.port());
  ASSERT_TRUE(cache.started()) << cache.failure();
  const std::string out = ExpectInstalled();
  EXPECT_NE(out.find("Delta update: "), std::string::npos) << out;
  EXPECT_TRUE(Exists(dir_ / "update/single-ranges.state"));
}

// Hostile and broken answers to the delta's requests: each run ends within
// a minute and 64 MiB of peak resident memory (as /usr/bin/time measures
// it), with the release installed by the whole download, or by the delta
// where the answer held what was asked.
TEST_F(DeltaUpdate, HostileOrBrokenRangeAnswersAreBoundedAndEndInTheRelease) {
  struct Row {
    const char* hostile;  // the fault server's kind of answer
    const char* line;     // what the run says of the delta
  } rows[] = {
      {"huge_tail", "Delta update not used (the answer is longer than what was asked)"},
      {"huge_directory",
       "Delta update not used (the package's central directory is larger than a delta reads)"},
      {"reuse_one",
       "Delta update not used (the plan would copy more from the kept package than a release "
       "holds)"},
      {"repeated_parts", "Delta update not used (the server did not deliver a range)"},
      {"epilogue", "Delta update: "},
      {"cut_tail", "Delta update not used (the package's end could not be fetched)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hostile);
    ASSERT_NO_FATAL_FAILURE(NextRelease());
    const std::string kept = package_scratch_ / "kept.zip";
    CopyFile(dir_ / "update/installed.zip", kept);
    FaultServer server({},
                       "[{\"mode\": \"package\", \"package\": \"" + zip_ + "\", \"signature\": \"" +
                           signature_ + "\", \"etag\": \"\\\"r" + std::to_string(release_) +
                           "\\\"\", \"hostile\": \"" + row.hostile + "\", \"kept\": \"" + kept +
                           "\"}]",
                       port_);
    ASSERT_TRUE(server.listening());
    const RunResult run =
        RunProgram({"/usr/bin/time", "-f", "peak-kib %M", updater_}, dir_.path(), 90);
    EXPECT_NE(run.out.find(row.line), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Outcome: installed"), std::string::npos) << run.out;
    EXPECT_TRUE(ReadFile(dir_ / "update/installed.zip") == ReadFile(zip_));
    const size_t peak = run.err.rfind("peak-kib ");
    ASSERT_NE(peak, std::string::npos) << run.err;
    EXPECT_LT(std::stoul(run.err.substr(peak + 9)), 64u * 1024) << run.out;
  }
}

// A kept package that is damaged, cut short or gone costs the whole
// download, never a wrong install.
TEST_F(DeltaUpdate, ADamagedTruncatedOrMissingKeptPackageMeansTheWholeDownload) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  const std::string kept = dir_ / "update/installed.zip";

  ASSERT_NO_FATAL_FAILURE(NextRelease());
  std::string bytes = ReadFile(kept);
  bytes[bytes.size() / 2] ^= 0x55;  // inside the data the delta reuses
  WriteFile(kept, bytes);
  std::string out = ExpectInstalled();
  EXPECT_NE(out.find("The package rebuilt from the kept one is not the signed one"),
            std::string::npos)
      << out;

  ASSERT_NO_FATAL_FAILURE(NextRelease());
  bytes = ReadFile(kept);
  WriteFile(kept, bytes.substr(0, bytes.size() / 2));
  out = ExpectInstalled();
  EXPECT_NE(out.find("Delta update not used ("), std::string::npos) << out;

  ASSERT_NO_FATAL_FAILURE(NextRelease());
  RemoveTree(kept);
  out = ExpectInstalled();
  EXPECT_EQ(out.find("Delta update"), std::string::npos) << out;
}

}  // namespace
