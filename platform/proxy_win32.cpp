#include <windows.h>
// After windows.h, which they need.
#include <shlwapi.h>
#include <winhttp.h>

#include <memory>
#include <string>
#include <vector>

#include "path.h"
#include "proxy.h"

namespace {

// Strings that WinHTTP allocates for its caller go back with GlobalFree.
struct GlobalFreer {
  void operator()(wchar_t* text) const { GlobalFree(text); }
};
using WinHttpText = std::unique_ptr<wchar_t, GlobalFreer>;

struct SessionCloser {
  void operator()(void* session) const { WinHttpCloseHandle(session); }
};
using Session = std::unique_ptr<void, SessionCloser>;

std::string Utf8(const std::wstring& text) { return PathToUtf8(text); }

// The entries of a WinHTTP list, which separates them with ';' or white
// space.
std::vector<std::wstring> Entries(const wchar_t* list) {
  std::vector<std::wstring> entries;
  std::wstring entry;
  for (const wchar_t* c = list; c; ++c) {
    if (*c == L'\0' || *c == L';' || *c == L' ' || *c == L'\t' || *c == L'\r' || *c == L'\n') {
      if (!entry.empty()) entries.push_back(entry);
      entry.clear();
      if (*c == L'\0') break;
    } else {
      entry += *c;
    }
  }
  return entries;
}

// The proxy for `scheme` in a WinHTTP proxy list: "host:port" for every
// scheme, "http=host:port;https=host:port" per scheme, or several entries
// from a script (libcurl takes one: the first). A proxy named without a
// scheme is an HTTP proxy, which carries https addresses through CONNECT.
// Empty when the list has none for `scheme`.
std::string ProxyForScheme(const wchar_t* list, const std::wstring& scheme) {
  std::wstring any, own;
  for (const std::wstring& entry : Entries(list)) {
    const size_t equals = entry.find(L'=');
    if (equals == std::wstring::npos) {
      if (any.empty()) any = entry;
    } else if (own.empty() &&
               CompareStringOrdinal(entry.c_str(), static_cast<int>(equals), scheme.c_str(),
                                    static_cast<int>(scheme.size()), TRUE) == CSTR_EQUAL) {
      own = entry.substr(equals + 1);
    }
  }
  const std::wstring& chosen = own.empty() ? any : own;
  if (chosen.empty()) return std::string();
  std::string proxy = Utf8(chosen);
  if (proxy.find("://") == std::string::npos) proxy = "http://" + proxy;
  return proxy;
}

// The entry of a bypass list that names `host`, or empty. "<local>" names
// every host without a dot; the others are patterns with '*' and '?',
// matched without regard to case, any "scheme://" in front ignored.
std::wstring BypassEntry(const wchar_t* list, const std::wstring& host) {
  for (const std::wstring& entry : Entries(list)) {
    if (CompareStringOrdinal(entry.c_str(), -1, L"<local>", -1, TRUE) == CSTR_EQUAL) {
      if (host.find_first_of(L".:") == std::wstring::npos) return entry;
      continue;
    }
    const size_t scheme_end = entry.find(L"://");
    const std::wstring pattern =
        scheme_end == std::wstring::npos ? entry : entry.substr(scheme_end + 3);
    if (!pattern.empty() && PathMatchSpecW(host.c_str(), pattern.c_str())) return entry;
  }
  return std::wstring();
}

// Runs a proxy script for `url` through WinHTTP: the one at `script`, or,
// when that is null, one found by automatic detection (DHCP, then DNS).
// False when no script could be found, fetched or run: the next setting
// applies then, as it does for Windows' own programs.
bool FromScript(const std::wstring& url, const std::wstring& scheme, const wchar_t* script,
                ProxyChoice* choice) {
  Session session(WinHttpOpen(L"updater", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return false;
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (script) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = script;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  // A script server that asks who is fetching gets the logged-on user.
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) return false;
  const WinHttpText proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
  // Anything but a named proxy is the script's DIRECT.
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy)
    choice->proxy = ProxyForScheme(proxy.get(), scheme);
  return true;
}

}  // namespace

// The current user's settings as WinHTTP reads them (the ones Windows'
// Internet options show), applied in Windows' own order: automatic
// detection, then the configuration script, then the fixed proxy with its
// bypass list.
ProxyChoice ChooseProxy(const std::string& url) {
  ProxyChoice choice;
  Path wide_url;
  if (!PathFromUtf8(url, &wide_url)) return choice;
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) return choice;
  const std::wstring scheme(parts.lpszScheme, parts.dwSchemeLength);
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);

  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) return choice;
  const WinHttpText script(settings.lpszAutoConfigUrl), fixed(settings.lpszProxy),
      bypass(settings.lpszProxyBypass);

  if (settings.fAutoDetect && FromScript(wide_url, scheme, nullptr, &choice)) {
    choice.source = ProxySource::kDetected;
  } else if (script && FromScript(wide_url, scheme, script.get(), &choice)) {
    choice.source = ProxySource::kPac;
    choice.detail = Utf8(script.get());
  } else if (fixed) {
    choice.source = ProxySource::kFixed;
    const std::wstring entry = BypassEntry(bypass.get(), host);
    if (!entry.empty()) {
      choice.detail = "bypassed for " + Utf8(host) + " by " + Utf8(entry);
    } else {
      choice.proxy = ProxyForScheme(fixed.get(), scheme);
      if (choice.proxy.empty()) choice.detail = "none for " + Utf8(scheme);
    }
  }
  choice.logon_credentials = !choice.proxy.empty();
  return choice;
}
