#pragma once

#include <wx/app.h>

// One run of the updater. The normal run, without arguments, goes as far as
// it can before the toolkit starts (RunUpToPrompt) and starts the toolkit
// only for the restart prompt: an update that needs no window needs no
// display either. A run with arguments starts the toolkit first, so that its
// command-line handling comes before anything is downloaded; OnRun then
// takes the same steps.

// The update sequence up to the restart prompt: lock, settle a killed
// install, download, check, unpack, then install at once when the main
// application is not running. True when it is running and the prompt is now
// due: the caller starts the toolkit, whose OnRun shows it. False when the
// run has ended and reported its outcome. Main thread, once per process,
// before the toolkit starts or from OnRun; uses no toolkit.
bool RunUpToPrompt();

// The process's exit status once the toolkit's entry routine has returned
// `toolkit_status`. When the prompt was due but never shown (the toolkit
// could not start), reports that nothing was installed and returns 1, as
// every run that got that far does. Main thread, last thing in the entry
// point.
int EndRun(int toolkit_status);

// The application object: the toolkit's side of a run, created by the
// toolkit through the factory in myapp.cpp.
class MyApp : public wxApp {
 public:
  // Registers the image handlers before OnInit, so the prompt can load PNGs.
  bool OnInitGui() override;
  // The toolkit's standard command-line handling; an unknown switch ends the
  // run before anything is downloaded.
  bool OnInit() override;
  // Shows the restart prompt when it is due, after RunUpToPrompt when the
  // entry point has not run it; returns 1 in every case (the process exit
  // status).
  int OnRun() override;
};
