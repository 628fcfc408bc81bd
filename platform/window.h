#pragma once

// Window attributes of the restart prompt, and the toolkit's start-up
// (links the toolkit; used by ui/ and the toolkit's entry points only).

class wxBitmap;
class wxGraphicsPath;
class wxRegion;
class wxTopLevelWindow;

// Makes pixels of the system button-face colour transparent and
// click-through. Main thread, before the window is shown.
void ApplyButtonFaceColourKey(wxTopLevelWindow& window);

// Sets the window's outline (an empty region: the plain rectangle). Where
// the window system has no colour key, the pixels of `picture` (painted at
// the window's top-left corner) in the colour of the key that
// ApplyButtonFaceColourKey gave the window are cut out of the outline here,
// now and when the key is applied later. The window keeps only a copy of
// `picture`. Main thread; before or after the window is shown.
void SetKeyedShape(wxTopLevelWindow& window, const wxRegion& outline, const wxBitmap& picture);
void SetKeyedShape(wxTopLevelWindow& window, const wxGraphicsPath& outline,
                   const wxBitmap& picture);

// Around the toolkit's start-up, on the main thread: BeginToolkitStart just
// before the toolkit starts (in the entry point that starts it),
// EndToolkitStart once it has (first thing in the application's OnInit,
// which GTK's start precedes). Settings that concern only this process's
// start are in force between them and reach no program started later: on
// GTK, no OpenGL, which the prompt never uses and whose driver GTK would
// otherwise load at start-up.
void BeginToolkitStart();
void EndToolkitStart();
