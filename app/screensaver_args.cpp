#include "app/screensaver_args.h"

#include <cerrno>
#include <cstdlib>

namespace glimmer {
namespace {

// "--name" or "-name": the name; anything else: empty.
std::string OptionName(const std::string& arg) {
  if (arg.rfind("--", 0) == 0) return arg.substr(2);
  if (arg.rfind("-", 0) == 0) return arg.substr(1);
  return {};
}

std::optional<std::uint64_t> WindowId(const std::string& text) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long id = std::strtoull(text.c_str(), &end, 0);  // 0x... or decimal
  if (errno != 0 || end == text.c_str() || *end != '\0' || id == 0) return std::nullopt;
  return id;
}

}  // namespace

HostArgs ParseHostArgs(const std::vector<std::string>& args) {
  HostArgs host;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = OptionName(args[i]);
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "root" && !value) {
      host = {WindowSettings::Host::kRootWindow, 0};
    } else if (name == "window-id") {
      if (!value && i + 1 < args.size()) value = args[++i];
      if (const auto id = value ? WindowId(*value) : std::nullopt)
        host = {WindowSettings::Host::kHostWindow, *id};
    }
  }
  return host;
}

}  // namespace glimmer
