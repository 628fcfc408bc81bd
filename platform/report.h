#pragma once

// The updater's diagnostics: every line it writes for whoever supports it
// goes through here, so that each one reaches standard output and, once a
// log is attached, the log as well. Main thread (the prompt's handlers run
// there too); lines from other threads must be handed to it.

// printf-style; `format` carries its own line end, as printf's would.
// Standard output is flushed after each call, so the order of lines stays
// that of the calls even when output is redirected.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Report(const char* format, ...);
