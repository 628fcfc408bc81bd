#pragma once

#include <wx/bitmap.h>
#include <wx/event.h>
#include <wx/frame.h>
#include <wx/gdicmn.h>

#include <cstdint>

// Window id of the restart button.
constexpr int ID_RESTART = 186;

// The restart prompt: a shaped, always-on-top frame without caption or
// taskbar button, drawn from "icons/updatebg.png" and carrying the restart
// button (image "icons/restart.png") at (180, 255). The images are looked up
// relative to the current directory, then in icons/ beside the executable.
// The button hides and closes the prompt and runs InstallUpdate(), once:
// clicks that come after the first (a double click, clicks queued while
// the install runs) are ignored. A right click closes it without
// installing: its press shows a short message box, and the prompt closes
// on the release, or as soon as the box is dismissed when the box took the
// release.
//
// Created hidden by the update sequence on the main thread; the toolkit
// deletes it after it has been closed.
class ShapedFrame : public wxFrame {
 public:
  ShapedFrame();

  // Applies shapeKind to the window's outline.
  void SetWindowShape();

 private:
  enum ShapeKind : std::int32_t { None = 0, Bitmap = 1, Circle = 2 };

  void OnDoubleClick(wxMouseEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnRightDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnMouseMove(wxMouseEvent& event);
  void OnRightUp(wxMouseEvent& event);
  void OnPaint(wxPaintEvent& event);
  void OnRestart(wxCommandEvent& event);
  void OnCaptureLost(wxMouseCaptureLostEvent& event);
  void OnSize(wxSizeEvent& event);
  void CloseWithoutInstalling();

  ShapeKind shapeKind;
  wxBitmap shapeBitmap;
  wxBitmap backgroundBitmap;
  wxPoint dragOffset;
  bool restartPressed = false;

  wxDECLARE_EVENT_TABLE();
};
