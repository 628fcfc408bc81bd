#include "window.h"

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/region.h>
#include <wx/settings.h>
#include <wx/toplevel.h>

#include <cstdlib>
#include <map>
#include <memory>

// The X window system has no colour key: a keyed window's shape leaves out
// the key-coloured pixels of its picture instead, which makes them
// transparent and click-through just the same.

namespace {

struct Outline {
  bool keyed = false;
  bool set = false;
  wxRegion region;  // empty: the plain rectangle
  wxBitmap picture;
};

std::map<const wxTopLevelWindow*, Outline>& Outlines() {
  static std::map<const wxTopLevelWindow*, Outline> outlines;
  return outlines;
}

Outline& OutlineOf(wxTopLevelWindow& window) {
  const auto [entry, added] = Outlines().try_emplace(&window);
  if (added) {
    wxTopLevelWindow* const owner = &window;
    window.Bind(wxEVT_DESTROY, [owner](wxWindowDestroyEvent& event) {
      if (event.GetEventObject() == owner) Outlines().erase(owner);
      event.Skip();
    });
  }
  return entry->second;
}

void Apply(wxTopLevelWindow& window, const Outline& outline) {
  // The plain rectangle is set as a shape of its own: clearing a shape with
  // an empty region does not reliably restore the rectangle here.
  wxRegion visible = outline.region;
  if (visible.IsEmpty()) visible = wxRegion(wxRect(window.GetSize()));
  if (outline.keyed && outline.picture.IsOk()) {
    // Pixels of the picture that are not the key colour; the window outside
    // the picture shows its background, which is the key colour too.
    wxRegion cut = visible;
    cut.Intersect(wxRegion(outline.picture, wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)));
    // An empty region would mean "no shape": a window keyed away entirely
    // keeps its outline instead.
    if (!cut.IsEmpty()) visible = cut;
  }
  window.SetShape(visible);
  // A new shape on a shown window takes effect only at its next paint.
  window.Refresh();
}

// The pixels inside the path, without anti-aliasing, as a region.
wxRegion RegionOfPath(const wxTopLevelWindow& window, const wxGraphicsPath& path) {
  const wxSize size = window.GetSize();
  if (size.x <= 0 || size.y <= 0) return wxRegion();
  wxBitmap mask(size.x, size.y, 24);
  {
    wxMemoryDC dc(mask);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    std::unique_ptr<wxGraphicsContext> context(wxGraphicsContext::Create(dc));
    if (context) {
      context->SetAntialiasMode(wxANTIALIAS_NONE);
      context->SetBrush(*wxBLACK_BRUSH);
      context->FillPath(path);
    }
  }
  return wxRegion(mask, *wxWHITE);
}

}  // namespace

void ApplyButtonFaceColourKey(wxTopLevelWindow& window) {
  Outline& outline = OutlineOf(window);
  outline.keyed = true;
  if (outline.set) Apply(window, outline);
}

void SetKeyedShape(wxTopLevelWindow& window, const wxRegion& region, const wxBitmap& picture) {
  Outline& outline = OutlineOf(window);
  outline.set = true;
  outline.region = region;
  outline.picture = picture;
  Apply(window, outline);
}

void SetKeyedShape(wxTopLevelWindow& window, const wxGraphicsPath& path, const wxBitmap& picture) {
  SetKeyedShape(window, RegionOfPath(window, path), picture);
}

namespace {
bool gGlDisabledHere = false;
}  // namespace

void BeginToolkitStart() {
  // A value that the user set stays theirs.
  if (std::getenv("GDK_GL") == nullptr) gGlDisabledHere = setenv("GDK_GL", "disable", 1) == 0;
}

void EndToolkitStart() {
  // GTK reads it once, when it starts.
  if (gGlDisabledHere) unsetenv("GDK_GL");
  gGlDisabledHere = false;
}
