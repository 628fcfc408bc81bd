#include "window.h"

#include <windows.h>
#include <wx/bitmap.h>
#include <wx/graphics.h>
#include <wx/region.h>
#include <wx/toplevel.h>

void ApplyButtonFaceColourKey(wxTopLevelWindow& window) {
  const HWND handle = static_cast<HWND>(window.GetHandle());
  const LONG style = GetWindowLongW(handle, GWL_EXSTYLE);
  // Set, never toggled: a window that is layered already stays so.
  SetWindowLongW(handle, GWL_EXSTYLE, style | WS_EX_LAYERED);
  // Colour key only: the alpha value is not applied without LWA_ALPHA.
  SetLayeredWindowAttributes(handle, GetSysColor(COLOR_BTNFACE), 10, LWA_COLORKEY);
}

// The layered window drops the key-coloured pixels itself, whatever the
// outline.
void SetKeyedShape(wxTopLevelWindow& window, const wxRegion& outline, const wxBitmap&) {
  window.SetShape(outline);
}

void SetKeyedShape(wxTopLevelWindow& window, const wxGraphicsPath& outline, const wxBitmap&) {
  window.SetShape(outline);
}

// The toolkit starts within this process alone: nothing to arrange.
void BeginToolkitStart() {}
void EndToolkitStart() {}
