#include "shapd.h"

#include <wx/app.h>
#include <wx/bmpbuttn.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/debug.h>
#include <wx/font.h>
#include <wx/graphics.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/region.h>
#include <wx/utils.h>

#include "basedir.h"
#include "install.h"
#include "window.h"

namespace {

// wxBORDER_SIMPLE | wxSTAY_ON_TOP | wxFRAME_SHAPED | wxFRAME_NO_TASKBAR
constexpr long kFrameStyle = 0x02008012;
static_assert(kFrameStyle ==
                  (wxBORDER_SIMPLE | wxSTAY_ON_TOP | wxFRAME_SHAPED | wxFRAME_NO_TASKBAR),
              "frame style");

constexpr int kRestartX = 180;
constexpr int kRestartY = 255;
constexpr int kDragBandHeight = 40;
constexpr double kCircleRadius = 30.0;

// Size of the plain prompt drawn when the background image is missing; the
// restart button at (180, 255) lies well inside it.
constexpr int kFallbackWidth = 400;
constexpr int kFallbackHeight = 340;

// Loads one of the prompt's images: relative to the current directory as
// given, else from the same relative path beside the executable, so that an
// updater started from elsewhere still finds its icons. Empty when neither
// loads.
wxBitmap LoadPromptImage(const wxString& relative) {
  wxBitmap bitmap;
  if (bitmap.LoadFile(relative, wxBITMAP_TYPE_PNG)) return bitmap;
  const wxString besideExe = wxString::FromUTF8(PathToUtf8(GetBaseDir()).c_str()) + relative;
  if (!bitmap.LoadFile(besideExe, wxBITMAP_TYPE_PNG)) bitmap = wxBitmap();
  return bitmap;
}

// The plain rectangular prompt. No pixel is white or of a neutral grey, so
// the image outline is the whole rectangle and no colour key cuts into it.
wxBitmap DrawFallbackBackground() {
  wxBitmap bitmap(kFallbackWidth, kFallbackHeight, 24);
  wxMemoryDC dc(bitmap);
  dc.SetBackground(wxBrush(wxColour(31, 58, 104)));
  dc.Clear();
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(wxBrush(wxColour(234, 241, 251)));
  dc.DrawRectangle(2, kDragBandHeight, kFallbackWidth - 4, kFallbackHeight - kDragBandHeight - 2);
  dc.SetTextForeground(wxColour(250, 252, 254));
  dc.SetFont(wxFont(wxFontInfo(12).Bold()));
  dc.DrawText("Update ready", 16, 10);
  dc.SetTextForeground(wxColour(22, 38, 70));
  dc.SetFont(wxFont(wxFontInfo(11)));
  dc.DrawLabel(
      "A new version of the application has been\n"
      "downloaded.\n\n"
      "Press Restart to install it: the application\n"
      "closes and starts again.\n\n"
      "Drag the title bar to move this window.",
      wxRect(20, kDragBandHeight + 20, kFallbackWidth - 40, 180), wxALIGN_LEFT | wxALIGN_TOP);
  dc.SelectObject(wxNullBitmap);
  return bitmap;
}

wxBitmap DrawFallbackRestartImage() {
  constexpr int kWidth = 140;
  constexpr int kHeight = 40;
  wxBitmap bitmap(kWidth, kHeight, 24);
  wxMemoryDC dc(bitmap);
  dc.SetBackground(wxBrush(wxColour(234, 241, 251)));
  dc.Clear();
  dc.SetPen(wxPen(wxColour(18, 92, 52)));
  dc.SetBrush(wxBrush(wxColour(33, 140, 80)));
  dc.DrawRoundedRectangle(0, 0, kWidth, kHeight, 6);
  dc.SetTextForeground(wxColour(250, 252, 254));
  dc.SetFont(wxFont(wxFontInfo(12).Bold()));
  dc.DrawLabel("Restart", wxRect(0, 0, kWidth, kHeight), wxALIGN_CENTER);
  dc.SelectObject(wxNullBitmap);
  return bitmap;
}

// Copies a bitmap onto the frame with its mask.
void PaintBitmap(wxDC& target, const wxBitmap& bitmap) {
  if (!bitmap.IsOk()) return;
  wxMemoryDC source;
  source.SelectObjectAsSource(bitmap);
  target.Blit(0, 0, bitmap.GetWidth(), bitmap.GetHeight(), &source, 0, 0, wxCOPY, true);
}

}  // namespace

ShapedFrame::ShapedFrame()
    : wxFrame(nullptr, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(100, 100), kFrameStyle),
      shapeKind(Bitmap),
      dragOffset(0, 0) {
  wxLogNull noLog;  // a missing image is not an error to show

  shapeKind = Bitmap;
  backgroundBitmap = LoadPromptImage("icons/updatebg.png");
  shapeBitmap = LoadPromptImage("icons/updatebg.png");
  wxBitmap restartBitmap = LoadPromptImage("icons/restart.png");
  // Without a background the frame would have no size and nothing on it
  // could be reached, so the run could not end: show a plain prompt instead.
  if (!shapeBitmap.IsOk()) {
    shapeBitmap = DrawFallbackBackground();
    backgroundBitmap = shapeBitmap;
  }
  if (!restartBitmap.IsOk()) restartBitmap = DrawFallbackRestartImage();

  SetSize(shapeBitmap.GetWidth(), shapeBitmap.GetHeight());
  SetToolTip("Right-click to close, double click to cycle shape");
  SetWindowShape();
  new wxBitmapButton(this, ID_RESTART, restartBitmap, wxPoint(kRestartX, kRestartY), wxDefaultSize,
                     wxBU_AUTODRAW);
}

void ShapedFrame::SetWindowShape() {
  switch (shapeKind) {
    case None:
      SetKeyedShape(*this, wxRegion(), shapeBitmap);
      break;
    case Bitmap:
      SetKeyedShape(*this, wxRegion(shapeBitmap, *wxWHITE), shapeBitmap);
      break;
    case Circle: {
      wxGraphicsPath path = wxGraphicsRenderer::GetDefaultRenderer()->CreatePath();
      path.AddCircle(shapeBitmap.GetWidth() / 2, shapeBitmap.GetHeight() / 2, kCircleRadius);
      SetKeyedShape(*this, path, shapeBitmap);
      break;
    }
    default:
      wxFAIL_MSG("invalid shape kind");
  }
}

void ShapedFrame::OnDoubleClick(wxMouseEvent&) {
  shapeKind = static_cast<ShapeKind>((shapeKind + 1) % 3);
  SetWindowShape();
}

void ShapedFrame::OnLeftDown(wxMouseEvent& event) {
  const wxPoint framePosition = GetPosition();
  // A second capture of the same window would stack, and the matching
  // release would hand the capture straight back to the frame.
  if (!HasCapture()) CaptureMouse();
  dragOffset = ClientToScreen(event.GetPosition()) - framePosition;
}

void ShapedFrame::OnMouseMove(wxMouseEvent& event) {
  const wxPoint position = event.GetPosition();
  if (!event.Dragging() || !event.LeftIsDown()) return;
  const wxPoint screenPosition = ClientToScreen(position);
  if (position.y < kDragBandHeight) Move(screenPosition - dragOffset);
}

void ShapedFrame::OnLeftUp(wxMouseEvent&) {
  if (HasCapture()) ReleaseMouse();
}

void ShapedFrame::OnRightDown(wxMouseEvent&) {
  // Opening the box takes the mouse capture from the frame (OnCaptureLost).
  wxMessageBox(wxString(L"\u65e0\u7cfb\u7edf\u6d88\u606f"), wxString(L"\u6d88\u606f\u63d0\u9192"),
               wxOK | wxCENTRE);
  // The frame was disabled while the box was up, so the release of this
  // press went to the box and never comes here. The tooltip promises that
  // a right click closes the prompt: once the button is up, close it as
  // that release would have. A button still held is released later, over
  // the frame (OnRightUp) or elsewhere (then the prompt stays).
  if (!wxGetMouseState().RightIsDown()) CloseWithoutInstalling();
}

void ShapedFrame::OnRightUp(wxMouseEvent&) { CloseWithoutInstalling(); }

void ShapedFrame::CloseWithoutInstalling() {
  // A release that still reached the frame while the box was up has closed
  // it already.
  if (!wxTheApp->IsScheduledForDestruction(this)) Close(false);
}

void ShapedFrame::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  PaintBitmap(dc, backgroundBitmap);
  PaintBitmap(dc, shapeBitmap);
}

void ShapedFrame::OnRestart(wxCommandEvent&) {
  // The install may take seconds; clicks queued meanwhile reach this
  // handler after it, while the frame still exists.
  if (restartPressed) return;
  restartPressed = true;
  Hide();
  Close(false);  // only schedules the destruction
  InstallUpdate();
}

// The toolkit has already dropped the capture (a modal box or another
// window took the pointer); the next left release finds none to release.
void ShapedFrame::OnCaptureLost(wxMouseCaptureLostEvent&) {}

// Deliberately no layout: a frame would otherwise stretch its only child,
// the restart button, over its whole client area.
void ShapedFrame::OnSize(wxSizeEvent&) {}

// clang-format off
wxBEGIN_EVENT_TABLE(ShapedFrame, wxFrame)
  EVT_LEFT_DCLICK(ShapedFrame::OnDoubleClick)
  EVT_LEFT_DOWN(ShapedFrame::OnLeftDown)
  EVT_RIGHT_DOWN(ShapedFrame::OnRightDown)
  EVT_LEFT_UP(ShapedFrame::OnLeftUp)
  EVT_MOTION(ShapedFrame::OnMouseMove)
  EVT_RIGHT_UP(ShapedFrame::OnRightUp)
  EVT_PAINT(ShapedFrame::OnPaint)
  EVT_BUTTON(ID_RESTART, ShapedFrame::OnRestart)
  EVT_MOUSE_CAPTURE_LOST(ShapedFrame::OnCaptureLost)
  EVT_SIZE(ShapedFrame::OnSize)
wxEND_EVENT_TABLE()
