#pragma once

// Which proxy, if any, the system's settings choose for one address. Called
// by the download on the main thread, once per transfer, before anything is
// sent. Links no HTTP library: the result is handed to libcurl by the caller.

#include <string>

enum class ProxySource {
  kNone,         // no proxy setting applies: a direct connection
  kFixed,        // the user's fixed proxy, or its bypass list (Windows)
  kPac,          // the user's proxy auto-configuration script (Windows)
  kDetected,     // automatic detection of a script on the network (Windows)
  kEnvironment,  // the *_proxy variables, which libcurl reads itself (POSIX)
};

struct ProxyChoice {
  ProxySource source = ProxySource::kNone;
  // The proxy for libcurl ("scheme://host:port"); empty for a direct
  // connection. Only for naming when the source is kEnvironment, since
  // libcurl applies those variables (and no_proxy) on its own. As the
  // settings give it, so it may carry a user and password: never shown as
  // it is (the download's line leaves them out, see transfer_log.h).
  std::string proxy;
  // For the diagnostic line: the variable, the script's address or the
  // bypass entry that decided. Never holds credentials.
  std::string detail;
  // A proxy that asks for credentials gets the logged-on user's (NTLM or
  // Negotiate), never the package's.
  bool logon_credentials = false;
};

// `url` is the full address of the transfer. Never fails: settings that
// cannot be read count as none.
ProxyChoice ChooseProxy(const std::string& url);
