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
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_app.h"
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
// records about its runs.
Tree Files(const std::string& dir) {
  Tree tree = Snapshot(dir);
  for (auto it = tree.begin(); it != tree.end();) {
    const std::string& name = it->first;
    const bool runs = name.size() > sizeof kRuns - 1 &&
                      name.compare(name.size() - (sizeof kRuns - 1), sizeof kRuns - 1, kRuns) == 0;
    it = runs ? tree.erase(it) : std::next(it);
  }
  return tree;
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
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the updater needs an X display";
    // The updater stops every process of this name: never someone else's.
    ASSERT_TRUE(fake_app::Running(config::kMainApp).empty())
        << "a process named " << config::kMainApp << " runs already";

    CopyFile(UPDATER_EXE, updater_);
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
    package_files_ = Snapshot(package_.path());
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

  void StartUpdater() { updater_pid_ = SpawnLogged({updater_}, dir_.path(), log_); }

  int WaitUpdater(int timeout_s) {
    const int status = WaitChild(updater_pid_, timeout_s);
    updater_pid_ = -1;
    return status;
  }

  std::string Log() const { return "updater output:\n" + ReadFile(log_); }

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
  const Tree before = Files(dir_.path());
  MapWatch watch;
  ASSERT_TRUE(watch.ok());

  // Started from another directory: it works in its own all the same.
  TempDir elsewhere;
  const RunResult run = RunProgram({updater_}, elsewhere.path(), 60);

  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_TRUE(Snapshot(elsewhere.path()).empty()) << "made in the current directory";
  EXPECT_EQ(watch.Mapped(), 0) << "a window was shown";
  EXPECT_EQ(Snapshot(dir_.path()), Overlay(before, package_files_));
  EXPECT_TRUE(IsDir(dir_ / "update"));
  EXPECT_TRUE(Snapshot(dir_ / "update").empty());
  EXPECT_FALSE(Exists(app_ + kRuns)) << "the main application was started";
  EXPECT_NE(server.AccessLog().find("GET " + kPackagePath), std::string::npos);
}

TEST_F(WholeProgram, RestartButtonStopsTheMainApplicationInstallsAndStartsItAgain) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
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
  EXPECT_EQ(ExeOf(runs[2].pid), app_) << "the new file runs";
  EXPECT_EQ(Files(dir_.path()), Overlay(before, package_files_));
  EXPECT_TRUE(Snapshot(dir_ / "update").empty());
  EXPECT_TRUE(IsDir(dir_ / "update"));
}

TEST_F(WholeProgram, RightButtonReleaseClosesThePromptWithoutInstalling) {
  Nginx server(served_.path(), config::kCredentials, port_);
  ASSERT_TRUE(server.started()) << server.failure();
  const pid_t app = StartMainApp();
  ASSERT_GT(app, 0);
  const Tree before = Files(dir_.path());

  StartUpdater();
  Geometry prompt;
  ASSERT_NO_FATAL_FAILURE(FindCentredPrompt(&prompt));
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

  EXPECT_EQ(WaitUpdater(30), 1) << Log();
  Tree expected = Overlay(before, package_files_, "update/unzip/");
  expected["update/unzip"] = "<dir>";
  expected["update/update.zip"] = ReadFile(served_ / "update.zip");
  EXPECT_EQ(Files(dir_.path()), expected);
  bool killed = false;
  EXPECT_FALSE(MainAppEnded(app, &killed)) << "the main application was stopped";
  EXPECT_EQ(fake_app::Runs(app_).size(), 1u) << "something was started";
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
  EXPECT_EQ(Snapshot(dir_.path()), Overlay(before, package_files_)) << run.out;
  EXPECT_TRUE(Snapshot(dir_ / "update").empty());
  EXPECT_NE(server.AccessLog().find("GET " + kPackagePath + " HTTP/1.1\" 200 "), std::string::npos)
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
  EXPECT_EQ(Snapshot(dir_.path()), before);
  bool killed = false;
  EXPECT_FALSE(MainAppEnded(app, &killed)) << "the main application was stopped";
}

}  // namespace
