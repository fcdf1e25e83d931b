#include "app/screensaver_args.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace glimmer {
namespace {

constexpr std::uint64_t kMostIdleSeconds = 0xffff'ffffu / 1000;

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

HostArgs With(WindowSettings::Host host, std::uint64_t window = 0, bool settings = false) {
  HostArgs args;
  args.host = host;
  args.window = window;
  args.settings = settings;
  return args;
}

HostArgs Asking(HostArgs::Action action, std::string error = {}) {
  HostArgs args;
  args.action = action;
  args.error = std::move(error);
  return args;
}

HostArgs Refused(std::string why) {
  return Asking(HostArgs::Action::kRefuse, std::move(why));
}

HostArgs DesktopArgs(const std::vector<std::string>& args) {
  HostArgs host;
  std::string mode;  // the first mode given, as written
  std::string unknown;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& given = args[i];
    std::string name = OptionName(given);
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    HostArgs next;
    if ((name == "help" || given == "-h") && !value) {
      return Asking(HostArgs::Action::kHelp);
    } else if (name == "version" && !value) {
      return Asking(HostArgs::Action::kVersion);
    } else if (name == "root" && !value) {
      next.host = WindowSettings::Host::kRootWindow;
    } else if (name == "window-id") {
      if (!value && i + 1 < args.size()) value = args[++i];
      const auto id = value ? WindowId(*value) : std::nullopt;
      if (!id) return Refused("--window-id needs a window's id, in hex (0x...) or decimal");
      next.host = WindowSettings::Host::kHostWindow;
      next.window = *id;
    } else if (name == "background" && !value) {
      next.action = HostArgs::Action::kBackground;
    } else if (name == "screensaver" && !value) {
      next.action = HostArgs::Action::kScreensaver;
    } else if (name == "screensaver-after") {
      if (!value && i + 1 < args.size()) value = args[++i];
      // The compositors take the idle time in milliseconds, as 32 bits.
      const auto seconds = value ? WindowId(*value, 10) : std::nullopt;
      if (!seconds || *seconds > kMostIdleSeconds) {
        return Refused("--screensaver-after needs a whole number of seconds, 1 to " +
                       std::to_string(kMostIdleSeconds));
      }
      next.action = HostArgs::Action::kResident;
      next.idle_seconds = static_cast<std::uint32_t>(*seconds);
    } else {
      if (unknown.empty()) unknown = given;
      continue;
    }
    if (!mode.empty()) return Refused(mode + " and " + given + " exclude each other");
    mode = given;
    host = next;
  }
  // xscreensaver starts its hacks with options of its own around theirs.
  const bool hack = host.host != WindowSettings::Host::kOwnWindow;
  if (!unknown.empty() && !hack) return Refused("unknown argument " + unknown + " (see --help)");
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
    if (mode == 's') return With(WindowSettings::Host::kScreen);
    if (mode == 'p' && hwnd != 0) return With(WindowSettings::Host::kHostWindow, hwnd);
    if (mode == 'c') return With(WindowSettings::Host::kOwnWindow, hwnd, true);
  }
  return With(WindowSettings::Host::kOwnWindow, 0, true);
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
  return EndsWithScr(program) ? WindowsArgs(args) : DesktopArgs(args);
}

std::string Usage() {
  return "Usage: glimmerfeld [MODE]\n"
         "Bright speckles pile up on black while a ball drifts across them.\n"
         "\n"
         "Modes (one at most):\n"
         "  (none)           a window of its own\n"
         "  --background     the desktop's background on every output (Wayland\n"
         "                   compositors with wlr-layer-shell: sway, KWin, labwc, ...);\n"
         "                   on X11 the root window, as --root\n"
         "  --screensaver    over every output until a key, a click or a move of the\n"
         "                   pointer (Wayland compositors with wlr-layer-shell); elsewhere\n"
         "                   a full-screen window on the primary display (X11, GNOME,\n"
         "                   Weston); on Windows the whole screen, as the .scr's /s\n"
         "  --screensaver-after SECONDS\n"
         "                   stays, drawing nothing, until the desktop has had no input\n"
         "                   for SECONDS, then covers it as --screensaver does until the\n"
         "                   next input, and waits again (Wayland compositors with\n"
         "                   wlr-layer-shell and idle notification: sway, KWin, ...;\n"
         "                   GNOME through its idle monitor; X11 with MIT-SCREEN-SAVER)\n"
         "  --root           the root window, or xscreensaver's virtual root (X11)\n"
         "  --window-id ID   a window another program owns, e.g. xscreensaver's (X11)\n"
         "\n"
         "  --help           this text\n"
         "  --version        the version\n"
         "\n"
         "It reads no files and keeps nothing; close the window or send SIGTERM to end it.\n";
}

}  // namespace glimmer
