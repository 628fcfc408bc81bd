#include "window.h"

#include <wx/toplevel.h>

void ApplyButtonFaceColourKey(wxTopLevelWindow&) {}
