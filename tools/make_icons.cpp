// Draws the restart prompt's two images, icons/updatebg.png and
// icons/restart.png. Run by scripts/make-icons; needs a display (Xvfb will
// do) for the toolkit's fonts.
//
// The background is a card on white: the prompt's outline is every pixel
// that is not pure white, so the card has a hard edge and no pure white
// inside it. No pixel is a neutral grey either, so a system button-face
// colour (a grey on every common theme) never cuts a hole into it.

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/image.h>

#include <cmath>
#include <cstdio>
#include <memory>

namespace {

constexpr int kWidth = 380;
constexpr int kHeight = 330;
constexpr int kCorner = 14;
constexpr int kBand = 44;  // the prompt is dragged by its top 40 rows

const wxColour kNavy(24, 52, 98);
const wxColour kNavyLight(40, 86, 150);
const wxColour kBody(239, 244, 251);
const wxColour kInk(22, 36, 64);
const wxColour kMuted(84, 104, 138);
const wxColour kGreen(30, 140, 82);
const wxColour kGreenDark(20, 108, 62);
const wxColour kLight(250, 252, 255);

bool InsideRoundedRect(int x, int y, int w, int h, int r) {
  const int cx = x < r ? r : (x >= w - r ? w - r - 1 : x);
  const int cy = y < r ? r : (y >= h - r ? h - r - 1 : y);
  const double dx = x - cx, dy = y - cy;
  return dx * dx + dy * dy <= r * r;
}

// A circular arrow (the "restart" sign) of radius r around (cx, cy).
void DrawRestartSign(wxGraphicsContext& gc, double cx, double cy, double r, double width,
                     const wxColour& colour) {
  const double start = -M_PI / 2 + 0.55;  // gap at the top
  const double end = start + 2 * M_PI - 1.1;
  wxPen pen(colour, static_cast<int>(std::lround(width)));
  pen.SetCap(wxCAP_BUTT);
  gc.SetPen(pen);
  gc.SetBrush(*wxTRANSPARENT_BRUSH);
  wxGraphicsPath arc = gc.CreatePath();
  arc.AddArc(cx, cy, r, start, end, true);
  gc.StrokePath(arc);
  // Arrow head at the end of the arc, pointing along it.
  const double ex = cx + r * std::cos(end), ey = cy + r * std::sin(end);
  const double tx = -std::sin(end), ty = std::cos(end);  // tangent
  const double nx = std::cos(end), ny = std::sin(end);   // outward normal
  const double head = width * 1.9;
  wxGraphicsPath tip = gc.CreatePath();
  tip.MoveToPoint(ex + nx * head, ey + ny * head);
  tip.AddLineToPoint(ex - nx * head, ey - ny * head);
  tip.AddLineToPoint(ex + tx * head * 1.3, ey + ty * head * 1.3);
  tip.CloseSubpath();
  gc.SetPen(*wxTRANSPARENT_PEN);
  gc.SetBrush(wxBrush(colour));
  gc.FillPath(tip);
}

void Text(wxGraphicsContext& gc, const wxString& text, double x, double y, int points, bool bold,
          const wxColour& colour) {
  wxFont font(wxFontInfo(points).FaceName("DejaVu Sans").Bold(bold));
  gc.SetFont(font, colour);
  gc.DrawText(text, x, y);
}

// Keeps the outline exact: white outside the card, no white and no neutral
// grey inside it.
void FixColours(wxImage& image, bool (*inside)(int, int)) {
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = 0; x < image.GetWidth(); ++x) {
      if (!inside(x, y)) {
        image.SetRGB(x, y, 255, 255, 255);
        continue;
      }
      unsigned char r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
      if (r == g && g == b) {
        if (b < 255) {
          ++b;
        } else {
          --r;
          --g;
        }
        image.SetRGB(x, y, r, g, b);
      }
    }
  }
}

bool InsideCard(int x, int y) { return InsideRoundedRect(x, y, kWidth, kHeight, kCorner); }

wxImage DrawBackground() {
  wxBitmap bitmap(kWidth, kHeight, 24);
  {
    wxMemoryDC dc(bitmap);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
    // Card: border, title band, body.
    gc->SetPen(*wxTRANSPARENT_PEN);
    gc->SetBrush(wxBrush(kNavy));
    gc->DrawRectangle(0, 0, kWidth, kHeight);
    gc->SetBrush(gc->CreateLinearGradientBrush(0, 0, 0, kBand, kNavyLight, kNavy));
    gc->DrawRectangle(2, 2, kWidth - 4, kBand - 2);
    gc->SetBrush(wxBrush(kBody));
    gc->DrawRoundedRectangle(2, kBand, kWidth - 4, kHeight - kBand - 2, kCorner - 3);
    gc->DrawRectangle(2, kBand, kWidth - 4, kCorner);

    // Title band: a small sign, the title, a grip to show it can be dragged.
    DrawRestartSign(*gc, 24, kBand / 2.0 + 1, 8, 2.4, kLight);
    Text(*gc, "Update ready", 42, 12, 13, true, kLight);
    gc->SetBrush(wxBrush(wxColour(120, 150, 196)));
    for (int row = 0; row < 3; ++row)
      for (int col = 0; col < 3; ++col) gc->DrawEllipse(kWidth - 38 + col * 7, 14 + row * 7, 3, 3);

    // Badge with the restart sign.
    const double cx = 88, cy = 150;
    gc->SetBrush(gc->CreateRadialGradientBrush(cx - 18, cy - 22, cx, cy, 60, kNavyLight, kNavy));
    gc->DrawEllipse(cx - 56, cy - 56, 112, 112);
    gc->SetBrush(wxBrush(wxColour(206, 224, 248)));
    gc->DrawEllipse(cx - 46, cy - 46, 92, 92);
    gc->SetBrush(wxBrush(kBody));
    DrawRestartSign(*gc, cx, cy, 26, 8, kNavy);

    // The message, in the right column above the button.
    Text(*gc, "A new version", 176, 66, 14, true, kInk);
    Text(*gc, "is ready to install.", 176, 88, 14, true, kInk);
    const wxString lines[] = {"It has been downloaded. Press", "Restart to close the application,",
                              "install the update and start", "it again."};
    double y = 126;
    for (const wxString& line : lines) {
      Text(*gc, line, 176, y, 9, false, kMuted);
      y += 18;
    }
    gc->SetPen(wxPen(wxColour(200, 214, 234), 1));
    gc->StrokeLine(176, 214, kWidth - 20, 214);
    Text(*gc, "Save your work in it first.", 176, 224, 8, false, kMuted);

    Text(*gc, "Drag the title bar", 24, 262, 8, false, kMuted);
    Text(*gc, "to move this window.", 24, 278, 8, false, kMuted);
  }
  wxImage image = bitmap.ConvertToImage();
  FixColours(image, InsideCard);
  return image;
}

constexpr int kButtonWidth = 150;
constexpr int kButtonHeight = 42;

bool InsideButton(int, int) { return true; }

wxImage DrawButton() {
  wxBitmap bitmap(kButtonWidth, kButtonHeight, 24);
  {
    wxMemoryDC dc(bitmap);
    dc.SetBackground(wxBrush(kBody));
    dc.Clear();
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
    gc->SetPen(wxPen(kGreenDark, 1));
    gc->SetBrush(
        gc->CreateLinearGradientBrush(0, 0, 0, kButtonHeight, wxColour(48, 170, 104), kGreen));
    gc->DrawRoundedRectangle(0.5, 0.5, kButtonWidth - 1, kButtonHeight - 1, 8);
    DrawRestartSign(*gc, 26, kButtonHeight / 2.0, 8, 2.6, kLight);
    Text(*gc, "Restart now", 44, 12, 11, true, kLight);
  }
  wxImage image = bitmap.ConvertToImage();
  FixColours(image, InsideButton);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icons <icons directory>\n");
    return 2;
  }
  const wxString directory = wxString::FromUTF8(argv[1]);
  wxApp::SetInstance(new wxApp);
  int toolkitArgc = 1;
  if (!wxEntryStart(toolkitArgc, argv)) {
    std::fprintf(stderr, "make_icons: the toolkit needs a display\n");
    return 1;
  }
  wxInitAllImageHandlers();
  const bool ok = DrawBackground().SaveFile(directory + "/updatebg.png", wxBITMAP_TYPE_PNG) &&
                  DrawButton().SaveFile(directory + "/restart.png", wxBITMAP_TYPE_PNG);
  wxEntryCleanup();
  return ok ? 0 : 1;
}
