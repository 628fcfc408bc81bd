// The restart prompt, shown for real on the X display (Xvfb in CI) by the
// toolkit started inside this test program. Events are synthesized and sent
// to the frame and its button; the outline is read back from the X server.
// The install step is a stand-in that counts its calls.

#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/bmpbuttn.h>
#include <wx/image.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "install.h"
#include "shapd.h"
#include "support.h"
#include "window.h"

// X last: it defines macros such as None and Bool.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

using namespace testing_support;

// The install step as the prompt sees it.
namespace {
int gInstallCalls = 0;
int gInstallMillis = 0;  // how long the stand-in takes, as a slow install
bool gPromptClosingWhenInstalled = false;
wxWeakRef<ShapedFrame> gPrompt;
}  // namespace

void InstallUpdate() {
  ++gInstallCalls;
  gPromptClosingWhenInstalled = gPrompt && wxTheApp->IsScheduledForDestruction(gPrompt.get());
  usleep(static_cast<useconds_t>(gInstallMillis) * 1000);
}

namespace {

// ---- The toolkit and the X server ----------------------------------------

void FailOnAssert(const wxString& file, int line, const wxString& function,
                  const wxString& condition, const wxString& message) {
  ADD_FAILURE_AT(file.utf8_str().data(), line)
      << "toolkit assertion in " << function << ": " << condition << " " << message;
}

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

Display* gDisplay = nullptr;  // a connection of the test's own, for queries

class Toolkit : public testing::Environment {
 public:
  void SetUp() override {
    wxSetAssertHandler(FailOnAssert);
    wxApp::SetInstance(new wxApp);
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    ASSERT_TRUE(wxEntryStart(argc, argv)) << "the toolkit needs an X display";
    wxInitAllImageHandlers();
    gDisplay = XOpenDisplay(nullptr);
    ASSERT_NE(gDisplay, nullptr);
    XSetErrorHandler(IgnoreXError);
  }
  void TearDown() override {
    if (gDisplay) XCloseDisplay(gDisplay);
    wxEntryCleanup();
  }
};
testing::Environment* const gToolkit = testing::AddGlobalTestEnvironment(new Toolkit);

// Lets the toolkit handle what is pending, including idle-time deletions.
void Pump() {
  for (int i = 0; i < 3; ++i) {
    wxYield();
    wxTheApp->ProcessIdle();
    usleep(5000);
  }
}

// Pumps until the condition holds; false when it never does.
bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    Pump();
  }
  return condition();
}

long WindowPid(Window window) {
  static const Atom pidAtom = XInternAtom(gDisplay, "_NET_WM_PID", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  long pid = -1;
  if (XGetWindowProperty(gDisplay, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                         &count, &after, &data) == Success &&
      data && count == 1) {
    pid = *reinterpret_cast<long*>(data);
  }
  if (data) XFree(data);
  return pid;
}

// Viewable top-level X windows of this process.
std::vector<Window> OurWindows() {
  Window root, parent;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> ours;
  if (!XQueryTree(gDisplay, DefaultRootWindow(gDisplay), &root, &parent, &children, &count))
    return ours;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(gDisplay, children[i], &attributes) &&
        attributes.map_state == IsViewable && WindowPid(children[i]) == getpid())
      ours.push_back(children[i]);
  }
  if (children) XFree(children);
  return ours;
}

wxSize XSize(Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(gDisplay, window, &attributes)) return wxSize();
  return wxSize(attributes.width, attributes.height);
}

wxPoint XPosition(Window window) {
  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(gDisplay, window, DefaultRootWindow(gDisplay), 0, 0, &x, &y, &child);
  return wxPoint(x, y);
}

std::vector<wxRect> XShape(Window window) {
  int count = 0, ordering = 0;
  XRectangle* rectangles = XShapeGetRectangles(gDisplay, window, ShapeBounding, &count, &ordering);
  std::vector<wxRect> shape;
  for (int i = 0; i < count; ++i)
    shape.emplace_back(rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height);
  if (rectangles) XFree(rectangles);
  return shape;
}

bool InShape(Window window, int x, int y) {
  for (const wxRect& r : XShape(window))
    if (r.Contains(x, y)) return true;
  return false;
}

wxRect ShapeBounds(Window window) {
  wxRect bounds;
  for (const wxRect& r : XShape(window)) bounds = bounds.IsEmpty() ? r : bounds.Union(r);
  return bounds;
}

// ---- Prompt images and the prompt itself ----------------------------------

class CurrentDir {
 public:
  explicit CurrentDir(const std::string& dir) : previous_(getcwd(nullptr, 0)) {
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~CurrentDir() {
    EXPECT_EQ(chdir(previous_), 0);
    free(previous_);
  }

 private:
  char* previous_;
};

wxColour ButtonFace() { return wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE); }

// A 301 x 200 background: white margin of 20, red inside, and a 10 x 10
// square of the button-face colour at (160, 110), inside the circle.
void WriteTestImages(const TempDir& dir) {
  MakeDirs(dir / "icons");
  wxImage background(301, 200);
  background.SetRGB(wxRect(0, 0, 301, 200), 255, 255, 255);
  background.SetRGB(wxRect(20, 20, 261, 160), 200, 40, 40);
  const wxColour key = ButtonFace();
  background.SetRGB(wxRect(160, 110, 10, 10), key.Red(), key.Green(), key.Blue());
  ASSERT_TRUE(background.SaveFile(dir / "icons/updatebg.png", wxBITMAP_TYPE_PNG));
  wxImage button(60, 24);
  button.SetRGB(wxRect(0, 0, 60, 24), 30, 140, 80);
  ASSERT_TRUE(button.SaveFile(dir / "icons/restart.png", wxBITMAP_TYPE_PNG));
}

void CopyProductImages(const TempDir& dir) {
  MakeDirs(dir / "icons");
  CopyFile(UPDATER_ICONS_DIR "/updatebg.png", dir / "icons/updatebg.png");
  CopyFile(UPDATER_ICONS_DIR "/restart.png", dir / "icons/restart.png");
}

// The prompt as the update sequence shows it: created with `dir` as current
// directory, colour-keyed, shown and centred.
class Prompt {
 public:
  explicit Prompt(const TempDir& dir, bool keyed = true) {
    {
      CurrentDir cd(dir.path());
      frame_ = new ShapedFrame();
    }
    gPrompt = frame_;
    if (keyed) ApplyButtonFaceColourKey(*frame_);
    frame_->Show(true);
    frame_->CenterOnScreen(wxBOTH);
    EXPECT_TRUE(Eventually([this] {
      for (Window w : OurWindows())
        if (XSize(w) == frame_->GetSize()) window_ = w;
      return window_ != 0 && XPosition(window_) == frame_->GetPosition();
    })) << "the prompt never appeared";
  }
  ~Prompt() {
    if (frame_) frame_->Destroy();
    Pump();
  }

  ShapedFrame* frame() { return frame_.get(); }
  Window window() const { return window_; }
  bool open() const { return frame_ && !wxTheApp->IsScheduledForDestruction(frame_.get()); }
  wxBitmapButton* button() { return dynamic_cast<wxBitmapButton*>(frame_->FindWindow(ID_RESTART)); }

  void Send(wxEventType type, int x, int y, bool left = false, bool right = false) {
    wxMouseEvent event(type);
    event.SetEventObject(frame_.get());
    event.SetPosition(wxPoint(x, y));
    event.SetLeftDown(left);
    event.SetRightDown(right);
    frame_->GetEventHandler()->ProcessEvent(event);
  }
  void DoubleClick() {
    Send(wxEVT_LEFT_DCLICK, 40, 40, true);
    Pump();
  }
  // Waits until the X server has the frame where the toolkit put it.
  bool Settled() {
    return Eventually([this] { return XPosition(window_) == frame_->GetPosition(); });
  }

 private:
  wxWeakRef<ShapedFrame> frame_;
  Window window_ = 0;
};

class PromptTest : public testing::Test {
 protected:
  void SetUp() override {
    gInstallCalls = 0;
    gInstallMillis = 0;
    gPromptClosingWhenInstalled = false;
  }
  TempDir dir;
};

// ---- Outline --------------------------------------------------------------

TEST_F(PromptTest, DoubleClicksCycleImageCircleRectangleAndBackToImage) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  const Window w = prompt.window();
  EXPECT_EQ(prompt.frame()->GetSize(), wxSize(301, 200));

  // Image outline: the red area, not its white margin.
  EXPECT_TRUE(Eventually([&] { return InShape(w, 30, 30) && !InShape(w, 5, 5); }));
  EXPECT_FALSE(InShape(w, 295, 195));

  prompt.DoubleClick();
  EXPECT_TRUE(Eventually([&] { return InShape(w, 150, 100) && !InShape(w, 30, 30); })) << "circle";

  prompt.DoubleClick();
  EXPECT_TRUE(Eventually([&] { return InShape(w, 5, 5) && InShape(w, 295, 195); }))
      << "plain rectangle";
  EXPECT_TRUE(InShape(w, 150, 100));

  prompt.DoubleClick();
  EXPECT_TRUE(Eventually([&] { return InShape(w, 30, 30) && !InShape(w, 5, 5); }))
      << "image outline again";
  EXPECT_EQ(gInstallCalls, 0);
}

TEST_F(PromptTest, CircleHasRadius30AroundTheImageCentre) {
  WriteTestImages(dir);
  Prompt prompt(dir, /*keyed=*/false);
  prompt.DoubleClick();
  const Window w = prompt.window();
  ASSERT_TRUE(Eventually([&] { return !InShape(w, 30, 30); }));
  // 301 x 200: centre (150, 100), the half width truncated.
  const wxRect bounds = ShapeBounds(w);
  EXPECT_EQ(bounds.x, 120);
  EXPECT_EQ(bounds.GetRight(), 179);
  EXPECT_EQ(bounds.y, 70);
  EXPECT_EQ(bounds.GetBottom(), 129);
  EXPECT_TRUE(InShape(w, 150, 100));
  EXPECT_TRUE(InShape(w, 150 - 28, 100) && InShape(w, 150 + 28, 100));
  EXPECT_FALSE(InShape(w, 150 - 32, 100) || InShape(w, 150 + 32, 100));
  EXPECT_FALSE(InShape(w, 150 + 22, 100 + 22));  // outside the radius, inside the square
}

TEST_F(PromptTest, ButtonFacePixelsAreCutOutOfEveryOutline) {
  ASSERT_NE(ButtonFace(), *wxWHITE);
  WriteTestImages(dir);
  Prompt prompt(dir);
  const Window w = prompt.window();
  for (const char* outline : {"image", "circle", "rectangle", "image again"}) {
    EXPECT_TRUE(Eventually([&] { return InShape(w, 150, 100) && !InShape(w, 165, 115); }))
        << outline;
    EXPECT_TRUE(InShape(w, 158, 115) && InShape(w, 171, 115)) << outline;
    prompt.DoubleClick();
  }
}

TEST_F(PromptTest, ColourKeyAppliedAfterTheOutlineStillCutsIt) {
  WriteTestImages(dir);
  Prompt prompt(dir, /*keyed=*/false);
  const Window w = prompt.window();
  EXPECT_TRUE(Eventually([&] { return InShape(w, 30, 30); }));
  EXPECT_TRUE(InShape(w, 165, 115)) << "no key, no cut";

  ApplyButtonFaceColourKey(*prompt.frame());
  EXPECT_TRUE(Eventually([&] { return !InShape(w, 165, 115); }));
  EXPECT_TRUE(InShape(w, 30, 30) && !InShape(w, 5, 5));
}

// ---- Dragging and the mouse capture ---------------------------------------

TEST_F(PromptTest, PressInTheTopBandDragsTheFrameWithThePointer) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  ShapedFrame* frame = prompt.frame();
  const wxPoint start = frame->GetPosition();

  prompt.Send(wxEVT_LEFT_DOWN, 50, 10, true);
  EXPECT_TRUE(frame->HasCapture());
  prompt.Send(wxEVT_MOTION, 80, 25, true);
  EXPECT_EQ(frame->GetPosition(), start + wxPoint(30, 15));
  ASSERT_TRUE(prompt.Settled());
  // The pointer sits on the pressed point again: (50, 10) in the frame.
  prompt.Send(wxEVT_MOTION, 40, 0, true);
  EXPECT_EQ(frame->GetPosition(), start + wxPoint(20, 5));
  ASSERT_TRUE(prompt.Settled());
  // While captured, positions above the frame are negative and still drag.
  prompt.Send(wxEVT_MOTION, 50, -20, true);
  EXPECT_EQ(frame->GetPosition(), start + wxPoint(20, -25));
  ASSERT_TRUE(prompt.Settled());

  prompt.Send(wxEVT_LEFT_UP, 50, 10);
  EXPECT_FALSE(frame->HasCapture());
  prompt.Send(wxEVT_MOTION, 90, 20);  // no button held: no drag
  EXPECT_EQ(frame->GetPosition(), start + wxPoint(20, -25));
}

TEST_F(PromptTest, PressBelowTheBandMovesTheFrameOnlyWhenThePointerReachesTheBand) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  ShapedFrame* frame = prompt.frame();
  const wxPoint start = frame->GetPosition();

  prompt.Send(wxEVT_LEFT_DOWN, 50, 60, true);
  prompt.Send(wxEVT_MOTION, 80, 70, true);
  prompt.Send(wxEVT_MOTION, 90, 40, true);
  Pump();
  EXPECT_EQ(frame->GetPosition(), start);
  EXPECT_EQ(XPosition(prompt.window()), start);

  // At row 39 the frame jumps so that the pointer is back on the pressed row.
  prompt.Send(wxEVT_MOTION, 90, 39, true);
  EXPECT_EQ(frame->GetPosition(), start + wxPoint(40, -21));
  ASSERT_TRUE(prompt.Settled());
  prompt.Send(wxEVT_LEFT_UP, 50, 60);
}

TEST_F(PromptTest, RightButtonDragDoesNotMoveTheFrame) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  const wxPoint start = prompt.frame()->GetPosition();
  prompt.Send(wxEVT_MOTION, 80, 20, false, true);
  prompt.Send(wxEVT_MOTION, 90, 10, false, false);
  EXPECT_EQ(prompt.frame()->GetPosition(), start);
}

TEST_F(PromptTest, LeftReleaseGivesUpTheCaptureOnlyWhenHeld) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  ShapedFrame* frame = prompt.frame();

  prompt.Send(wxEVT_LEFT_UP, 50, 60);  // no capture: nothing happens
  EXPECT_FALSE(frame->HasCapture());

  // Every press captures, wherever it lands; a second press without a
  // release in between must not stack a capture that outlives the release.
  prompt.Send(wxEVT_LEFT_DOWN, 250, 150, true);
  EXPECT_TRUE(frame->HasCapture());
  prompt.Send(wxEVT_LEFT_DOWN, 250, 150, true);
  prompt.Send(wxEVT_LEFT_UP, 250, 150);
  EXPECT_FALSE(frame->HasCapture());
  EXPECT_EQ(wxWindow::GetCapture(), nullptr);
  EXPECT_TRUE(prompt.open());
}

// ---- Message box, closing, restarting -------------------------------------

// Records the message box the prompt opens and lets it appear for real.
class MessageBoxWatch : public wxModalDialogHook {
 public:
  MessageBoxWatch() { Register(); }
  ~MessageBoxWatch() override { Unregister(); }
  int Enter(wxDialog* dialog) override {
    ++shown;
    if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog)) {
      message = box->GetMessage();
      caption = box->GetCaption();
      style = box->GetMessageDialogStyle();
    }
    return wxID_NONE;
  }
  void Exit(wxDialog*) override {}

  int shown = 0;
  wxString message, caption;
  long style = 0;
};

// Closes the message box the way a window manager does, once it is on the
// screen; remembers its title as the X server has it.
class MessageBoxCloser : public wxTimer {
 public:
  explicit MessageBoxCloser(Window prompt) : prompt_(prompt) { Start(20); }
  void Notify() override {
    if (++ticks_ > 500) {
      ADD_FAILURE() << "the message box never appeared";
      std::_Exit(1);  // the modal loop would never end
    }
    for (Window w : OurWindows()) {
      if (w == prompt_) continue;
      title = Property(w, "_NET_WM_NAME");
      frameHadCapture = wxWindow::GetCapture() != nullptr;
      promptOpen = gPrompt && !wxTheApp->IsScheduledForDestruction(gPrompt.get());
      XEvent event{};
      event.xclient.type = ClientMessage;
      event.xclient.window = w;
      event.xclient.message_type = XInternAtom(gDisplay, "WM_PROTOCOLS", False);
      event.xclient.format = 32;
      event.xclient.data.l[0] = XInternAtom(gDisplay, "WM_DELETE_WINDOW", False);
      event.xclient.data.l[1] = CurrentTime;
      XSendEvent(gDisplay, w, False, NoEventMask, &event);
      XFlush(gDisplay);
      Stop();
      return;
    }
  }

  std::string title;
  bool frameHadCapture = true;
  bool promptOpen = false;

 private:
  static std::string Property(Window w, const char* name) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(gDisplay, w, XInternAtom(gDisplay, name, False), 0, 1024, False,
                           AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
        data)
      value.assign(reinterpret_cast<char*>(data), count);
    if (data) XFree(data);
    return value;
  }

  Window prompt_;
  int ticks_ = 0;
};

TEST_F(PromptTest, RightPressShowsTheMessageBoxThenClosesThePromptAsItsReleaseWould) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  MessageBoxWatch watch;
  MessageBoxCloser closer(prompt.window());

  // The left button is held (captured) when the right one is pressed.
  prompt.Send(wxEVT_LEFT_DOWN, 50, 10, true);
  prompt.Send(wxEVT_RIGHT_DOWN, 100, 100, true, true);  // returns when the box is closed

  EXPECT_EQ(watch.shown, 1);
  EXPECT_EQ(watch.message.ToStdWstring(), std::wstring(L"\u65e0\u7cfb\u7edf\u6d88\u606f"));
  EXPECT_EQ(watch.caption.ToStdWstring(), std::wstring(L"\u6d88\u606f\u63d0\u9192"));
  EXPECT_EQ(watch.style & (wxOK | wxCANCEL | wxYES_NO | wxHELP), wxOK) << "a single OK button";
  EXPECT_TRUE(watch.style & wxCENTRE);
  EXPECT_EQ(closer.title, "\xe6\xb6\x88\xe6\x81\xaf\xe6\x8f\x90\xe9\x86\x92");  // UTF-8
  EXPECT_FALSE(closer.frameHadCapture) << "the box must not open under a held capture";
  EXPECT_TRUE(closer.promptOpen) << "the prompt stays while the box is up";

  // The pointer's right button is up: the box has taken the release.
  EXPECT_FALSE(prompt.open());
  EXPECT_EQ(wxWindow::GetCapture(), nullptr);
  Pump();
  EXPECT_EQ(prompt.frame(), nullptr);
  EXPECT_EQ(gInstallCalls, 0);
}

TEST_F(PromptTest, RightButtonStillHeldAfterTheMessageBoxLeavesTheCloseToItsRelease) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  // The real right button held down away from the prompt, and let go
  // whatever happens.
  const auto xdotool = [](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"/usr/bin/xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return WaitChild(Spawn(argv, "/"), 30);
  };
  struct LetGo {
    ~LetGo() { WaitChild(Spawn({"/usr/bin/xdotool", "mouseup", "3"}, "/"), 30); }
  } let_go;
  ASSERT_EQ(xdotool({"mousemove", "0", "0", "mousedown", "3"}), 0);
  {
    MessageBoxCloser closer(prompt.window());
    prompt.Send(wxEVT_RIGHT_DOWN, 100, 100, false, true);
  }
  Pump();
  EXPECT_TRUE(prompt.open());
  EXPECT_EQ(xdotool({"mouseup", "3"}), 0);
  prompt.Send(wxEVT_RIGHT_UP, 100, 100);
  EXPECT_FALSE(prompt.open());
  EXPECT_EQ(gInstallCalls, 0);
}

TEST_F(PromptTest, RightReleaseClosesThePromptWithoutInstalling) {
  WriteTestImages(dir);
  Prompt prompt(dir);
  prompt.Send(wxEVT_RIGHT_UP, 100, 100);
  EXPECT_FALSE(prompt.open());
  Pump();
  EXPECT_EQ(prompt.frame(), nullptr) << "deleted by the toolkit";
  EXPECT_EQ(gInstallCalls, 0);
}

TEST_F(PromptTest, RestartButtonKeepsItsPlaceAndSizeAndInstallsOnce) {
  CopyProductImages(dir);
  Prompt prompt(dir);
  wxBitmapButton* button = prompt.button();
  ASSERT_NE(button, nullptr);
  wxImage restart(UPDATER_ICONS_DIR "/restart.png", wxBITMAP_TYPE_PNG);

  // The frame does not stretch its only child over itself.
  EXPECT_EQ(button->GetPosition(), wxPoint(180, 255));
  EXPECT_GE(button->GetSize().x, restart.GetWidth());
  EXPECT_LE(button->GetSize().x, restart.GetWidth() + 24);
  EXPECT_LE(button->GetSize().y, restart.GetHeight() + 24);
  const wxRect inside(wxPoint(0, 0), prompt.frame()->GetClientSize());
  EXPECT_TRUE(inside.Contains(button->GetRect()));
  EXPECT_EQ(wxFindWindowAtPoint(prompt.frame()->ClientToScreen(wxPoint(60, 120))), prompt.frame());

  wxCommandEvent click(wxEVT_BUTTON, ID_RESTART);
  click.SetEventObject(button);
  button->GetEventHandler()->ProcessEvent(click);
  EXPECT_EQ(gInstallCalls, 1);
  EXPECT_TRUE(gPromptClosingWhenInstalled) << "closed before installing";
  Pump();
  EXPECT_EQ(prompt.frame(), nullptr);
  EXPECT_EQ(gInstallCalls, 1);
}

// What the whole-program test does: find the centred prompt on the screen and
// click the button with the real pointer.
TEST_F(PromptTest, RealPointerClickOnTheButtonInstallsOnce) {
  CopyProductImages(dir);
  Prompt prompt(dir);
  const wxSize screen = wxGetDisplaySize();
  const wxPoint origin = XPosition(prompt.window());
  const wxSize size = XSize(prompt.window());
  EXPECT_EQ(origin, wxPoint((screen.x - size.x) / 2, (screen.y - size.y) / 2)) << "centred";

  const wxPoint target = origin + wxPoint(180, 255) + wxPoint(20, 20);
  const pid_t xdotool = Spawn({"/usr/bin/xdotool", "mousemove", std::to_string(target.x),
                               std::to_string(target.y), "click", "1", "mousemove", "0", "0"},
                              dir.path());
  EXPECT_TRUE(Eventually([] { return gInstallCalls > 0; }));
  EXPECT_EQ(WaitChild(xdotool, 30), 0);
  Pump();
  EXPECT_EQ(gInstallCalls, 1);
  EXPECT_EQ(prompt.frame(), nullptr);
}

// A slow install: the second click of a double click waits in the queue
// while the first one's install runs.
TEST_F(PromptTest, DoubleClickDuringASlowInstallInstallsOnce) {
  CopyProductImages(dir);
  Prompt prompt(dir);
  gInstallMillis = 1500;
  const wxPoint target = XPosition(prompt.window()) + wxPoint(180, 255) + wxPoint(20, 20);
  const pid_t xdotool =
      Spawn({"/usr/bin/xdotool", "mousemove", std::to_string(target.x), std::to_string(target.y),
             "click", "--repeat", "2", "--delay", "100", "1", "mousemove", "0", "0"},
            dir.path());
  EXPECT_TRUE(Eventually([] { return gInstallCalls > 0; }));
  EXPECT_FALSE(prompt.frame() && prompt.frame()->IsShown()) << "still shown while installing";
  EXPECT_EQ(WaitChild(xdotool, 30), 0);
  for (int i = 0; i < 20; ++i) Pump();
  EXPECT_EQ(gInstallCalls, 1);
  EXPECT_EQ(prompt.frame(), nullptr);
}

// ---- Fallback and appearance ----------------------------------------------

TEST_F(PromptTest, WithoutImagesAPlainPromptStillOffersRestartAndClose) {
  Prompt prompt(dir);  // no icons/ here nor beside the test program
  const Window w = prompt.window();
  EXPECT_EQ(prompt.frame()->GetSize(), wxSize(400, 340));
  EXPECT_TRUE(Eventually([&] { return InShape(w, 1, 1) && InShape(w, 398, 338); }));
  EXPECT_EQ(ShapeBounds(w), wxRect(0, 0, 400, 340));

  wxBitmapButton* button = prompt.button();
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->GetPosition(), wxPoint(180, 255));
  EXPECT_TRUE(button->GetBitmapLabel().IsOk());
  EXPECT_TRUE(wxRect(0, 0, 400, 340).Contains(button->GetRect()));

  prompt.Send(wxEVT_RIGHT_UP, 100, 100);
  Pump();
  EXPECT_EQ(prompt.frame(), nullptr);
  EXPECT_EQ(gInstallCalls, 0);
}

wxImage GrabScreen(const wxRect& area) {
  XImage* shot = XGetImage(gDisplay, DefaultRootWindow(gDisplay), area.x, area.y, area.width,
                           area.height, AllPlanes, ZPixmap);
  wxImage image(area.width, area.height);
  if (!shot) return image;
  for (int y = 0; y < area.height; ++y) {
    for (int x = 0; x < area.width; ++x) {
      const unsigned long pixel = XGetPixel(shot, x, y);
      image.SetRGB(x, y, (pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
    }
  }
  XDestroyImage(shot);
  return image;
}

TEST_F(PromptTest, ShowsTheProductImageInsideItsOutline) {
  CopyProductImages(dir);
  Prompt prompt(dir);
  wxImage background(UPDATER_ICONS_DIR "/updatebg.png", wxBITMAP_TYPE_PNG);
  const wxRect area(XPosition(prompt.window()), prompt.frame()->GetSize());
  ASSERT_EQ(area.GetSize(), background.GetSize());

  wxImage shot;
  const auto samePixel = [&](int x, int y) {
    return shot.GetRed(x, y) == background.GetRed(x, y) &&
           shot.GetGreen(x, y) == background.GetGreen(x, y) &&
           shot.GetBlue(x, y) == background.GetBlue(x, y);
  };
  EXPECT_TRUE(Eventually([&] {
    shot = GrabScreen(area);
    return samePixel(88, 150) && samePixel(200, 80) && samePixel(60, 20);
  })) << "the image is painted";
  // The white corner lies outside the outline: the desktop shows through.
  EXPECT_TRUE(Eventually([&] { return !InShape(prompt.window(), 0, 0); }));
  shot = GrabScreen(area);
  EXPECT_TRUE(background.GetRed(0, 0) == 255 && background.GetGreen(0, 0) == 255);
  EXPECT_FALSE(samePixel(0, 0) && samePixel(1, 0) && samePixel(0, 1) && samePixel(1, 1));
  // For people: what the prompt looks like on the screen.
  EXPECT_TRUE(GrabScreen(wxRect(area).Inflate(20)).SaveFile(UPDATER_SCREENSHOT, wxBITMAP_TYPE_PNG));
}

}  // namespace
