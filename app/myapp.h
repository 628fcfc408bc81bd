#pragma once

#include <wx/app.h>

// The application object: the toolkit's side of a run (see run.h), created
// by the toolkit through the factory in myapp.cpp.
class MyApp : public wxApp {
 public:
  // Registers the image handlers before OnInit, so the prompt can load PNGs.
  bool OnInitGui() override;
  // The toolkit's standard command-line handling; an unknown switch ends the
  // run before anything is downloaded.
  bool OnInit() override;
  // Shows the restart prompt when it is due (TakeDuePrompt); returns 1 in
  // every case (the process exit status).
  int OnRun() override;
};
