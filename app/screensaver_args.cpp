#include "app/screensaver_args.h"

#include <algorithm>
#include <cctype>
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

// A whole unsigned number, not 0; `base` 0 also takes 0x... hex.
std::optional<std::uint64_t> WindowId(const std::string& text, int base = 0) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long id = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == text.c_str() || *end != '\0' || id == 0) return std::nullopt;
  return id;
}

HostArgs XscreensaverArgs(const std::vector<std::string>& args) {
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

// The first of /s, /p and /c that makes sense decides; with none, the
// settings dialog, as for a .scr opened from Explorer.
HostArgs WindowsArgs(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) continue;
    const char mode = static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1])));
    // The handle after a colon, or the next argument when it is a number.
    std::string handle;
    if (arg.size() > 2) {
      if (arg[2] != ':') continue;  // "/screen" is not "/s"
      handle = arg.substr(3);
    } else if (i + 1 < args.size() && WindowId(args[i + 1], 10)) {
      handle = args[i + 1];
    }
    const std::uint64_t hwnd = WindowId(handle, 10).value_or(0);
    if (mode == 's') return {WindowSettings::Host::kScreen, 0};
    if (mode == 'p' && hwnd != 0) return {WindowSettings::Host::kHostWindow, hwnd};
    if (mode == 'c') return {WindowSettings::Host::kOwnWindow, hwnd, true};
  }
  return {WindowSettings::Host::kOwnWindow, 0, true};
}

bool EndsWithScr(const std::string& program) {
  if (program.size() < 4) return false;
  std::string tail = program.substr(program.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".scr";
}

}  // namespace

HostArgs ParseHostArgs(const std::string& program, const std::vector<std::string>& args) {
  return EndsWithScr(program) ? WindowsArgs(args) : XscreensaverArgs(args);
}

}  // namespace glimmer
