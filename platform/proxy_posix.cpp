#include "proxy.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace {

// The first of the variables that is set, even to nothing, as libcurl
// looks them up.
const char* FirstSet(const std::string* names, size_t count, std::string* found) {
  for (size_t i = 0; i < count; ++i) {
    if (names[i].empty()) continue;
    if (const char* value = std::getenv(names[i].c_str())) {
      *found = names[i];
      return value;
    }
  }
  return nullptr;
}

}  // namespace

// libcurl reads the proxy variables itself; this only names the one it
// takes for the address's scheme, in libcurl's order: <scheme>_proxy (upper
// case too, except HTTP_PROXY, which a CGI client could be handed), then
// all_proxy and ALL_PROXY. Whether no_proxy exempts the host is libcurl's
// decision, so the line names the list.
ProxyChoice ChooseProxy(const std::string& url) {
  ProxyChoice choice;
  const size_t colon = url.find("://");
  std::string scheme = colon == std::string::npos ? std::string("http") : url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  std::string names[4] = {scheme + "_proxy", "", "all_proxy", "ALL_PROXY"};
  if (scheme != "http")
    for (char c : names[0])
      names[1] += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string name;
  const char* value = FirstSet(names, 4, &name);
  // Set but empty: libcurl goes direct.
  if (!value || !*value) return choice;
  choice.source = ProxySource::kEnvironment;
  choice.proxy = value;
  choice.detail = name;
  const std::string exempt[2] = {"no_proxy", "NO_PROXY"};
  std::string exempt_name;
  const char* no_proxy = FirstSet(exempt, 2, &exempt_name);
  if (no_proxy && *no_proxy)
    choice.detail += ", unless " + exempt_name + " \"" + no_proxy + "\" names the host";
  return choice;
}
