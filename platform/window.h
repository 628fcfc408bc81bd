#pragma once

// Window attributes of the restart prompt (links the toolkit; used by ui/
// and the update sequence only).

class wxTopLevelWindow;

// Makes pixels of the system button-face colour transparent and
// click-through. Main thread, before the window is shown.
void ApplyButtonFaceColourKey(wxTopLevelWindow& window);
