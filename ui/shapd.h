#pragma once

#include <wx/frame.h>

// The restart prompt: a shaped, always-on-top frame without caption or
// taskbar button. Created hidden by the update sequence on the main thread;
// the toolkit deletes it after it has been closed.
class ShapedFrame : public wxFrame {
 public:
  ShapedFrame();
};
