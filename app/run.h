#pragma once

// One run of the updater. The normal run, without arguments, goes as far as
// it can before the toolkit starts (RunUpToPrompt) and starts the toolkit
// only for the restart prompt: an update that needs no window needs no
// display, and on Linux does not even load the toolkit. A run with
// arguments starts the toolkit first, so that its command-line handling
// comes before anything is downloaded; the application object then takes
// the same steps (TakeDuePrompt). Uses no toolkit; main thread, once per
// process.

// The update sequence up to the restart prompt: lock, settle a killed
// install, download, check, unpack, then install at once when the main
// application is not running. True when it is running and the prompt is now
// due: the caller starts the toolkit, which shows it. False when the run has
// ended and reported its outcome. Called by the entry point before the
// toolkit starts.
bool RunUpToPrompt();

// For the application object, once the toolkit has started: runs the
// sequence above when the entry point has not, and says whether the prompt
// is to be shown now (then it counts as shown).
bool TakeDuePrompt();

// The process's exit status once the toolkit has returned
// `toolkit_status`. When the prompt was due but never shown (the toolkit
// could not start), reports that nothing was installed and returns 1, as
// every run that got that far does. Last thing in the entry point.
int EndRun(int toolkit_status);
