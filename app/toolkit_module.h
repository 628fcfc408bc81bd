#pragma once

// The toolkit's side of the Linux build (the application object, the
// restart prompt, wxWidgets and GTK) is a module of its own, which the
// entry point loads only when a run needs the toolkit: loading GTK's
// libraries takes longer than a silent update takes to check its package.
// The module resolves the update steps it calls (the install, the report
// lines) against the program that loaded it.

// Its file, loaded only from the program's own directory, never from
// anywhere else: a run that needs it fails when it is not there.
inline constexpr char kToolkitModuleName[] = "updater-toolkit.so";

// What the entry point calls once the module is loaded: the toolkit's start
// and run (wxEntry), with the toolkit's global settings made first. Returns
// the toolkit's result. Main thread, once.
inline constexpr char kToolkitEntryName[] = "updater_toolkit_main";
extern "C" int updater_toolkit_main(int argc, char** argv);
