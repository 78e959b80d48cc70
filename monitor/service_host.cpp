#include "monitor/service_host.h"

namespace quarn {

std::string QuoteServicePath(const std::string& path) {
  if (path.find(' ') == std::string::npos) return path;
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"') return path;
  return "\"" + path + "\"";
}

}  // namespace quarn
