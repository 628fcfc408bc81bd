#include "proxy.h"

namespace {

const char* SourceName(ProxySource source) {
  switch (source) {
    case ProxySource::kFixed:
      return "fixed";
    case ProxySource::kPac:
      return "PAC";
    case ProxySource::kDetected:
      return "detected";
    case ProxySource::kEnvironment:
      return "environment";
    case ProxySource::kNone:
      break;
  }
  return nullptr;
}

}  // namespace

std::string DescribeProxy(const ProxyChoice& choice) {
  std::string line = "Proxy: " + (choice.proxy.empty() ? std::string("none") : choice.proxy);
  if (const char* name = SourceName(choice.source)) {
    line += std::string(" (") + name;
    if (!choice.detail.empty()) line += ": " + choice.detail;
    line += ")";
  }
  return line;
}
