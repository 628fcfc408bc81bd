#pragma once

#include <wx/app.h>

// The application object: one run of the updater, performed in OnRun on the
// main thread. Created by the toolkit through the factory in myapp.cpp.
class MyApp : public wxApp {
 public:
  // Registers the image handlers before OnInit, so the prompt can load PNGs.
  bool OnInitGui() override;
  // The toolkit's standard command-line handling; an unknown switch ends the
  // run before anything is downloaded.
  bool OnInit() override;
  // The update sequence; returns 1 in every case (the process exit status).
  int OnRun() override;
};
