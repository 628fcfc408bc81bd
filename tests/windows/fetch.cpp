// The updater's download operation on its own, for the Windows TLS and
// proxy checks (tests/windows/tls-proxy), which serve what it fetches:
//   fetch URL CREDENTIALS TARGET [CA_FILE]   downloads URL into TARGET,
//       trusting only the CAs of CA_FILE (PEM) when given; exits with the
//       download's result code
//   fetch --features   names the TLS library and the authentication
//       features libcurl was built with

#include <curl/curl.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "download.h"
#include "path.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--features") {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    std::printf("tls=%s", info->ssl_version ? info->ssl_version : "none");
    const struct {
      int bit;
      const char* name;
    } features[] = {{CURL_VERSION_SSL, "ssl"},
                    {CURL_VERSION_SSPI, "sspi"},
                    {CURL_VERSION_NTLM, "ntlm"},
                    {CURL_VERSION_SPNEGO, "negotiate"},
                    {CURL_VERSION_HTTPS_PROXY, "https-proxy"}};
    for (const auto& feature : features)
      if (info->features & feature.bit) std::printf(" %s", feature.name);
    std::printf("\n");
    return 0;
  }
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: fetch URL CREDENTIALS TARGET [CA_FILE] | fetch --features\n");
    return 2;
  }
  std::string ca;
  if (argc == 5) {
    std::ifstream in(argv[4], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ca = text.str();
    if (ca.empty()) {
      std::fprintf(stderr, "fetch: cannot read %s\n", argv[4]);
      return 2;
    }
  }
  Path target;
  if (!PathFromUtf8(argv[3], &target)) return 2;
  return DownloadPackageFrom(argv[1], argv[2], target, TransferLimits(), ca.c_str());
}
