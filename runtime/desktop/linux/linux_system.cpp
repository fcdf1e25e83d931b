// SYSTEM: Linux, on X11 or Wayland, whichever the session offers.
// COVERS: which of the two backends SDL may start on and what each needs
//   first; SIGINT and SIGTERM at every stage; a display that never answers
//   at start.
// LIMITATIONS: start-up errors go to stderr only.
// DEPENDENCIES: SDL3, libX11, wayland-client.
#include <SDL3/SDL.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/core/end_on_input.h"
#include "runtime/core/window_settings.h"
#include "runtime/desktop/linux/linux_system.h"

namespace glimmer::backend {
using namespace linux_desktop;
namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != '\0';
}

// The user's choice of video drivers: SDL3's variable, or SDL2's old name,
// which SDL3 still reads; empty where there is none.
const char* UserDriverVariable() {
  for (const char* name : {"SDL_VIDEO_DRIVER", "SDL_VIDEODRIVER"})
    if (EnvSet(name)) return name;
  return nullptr;
}

// Splits a comma-separated driver list such as SDL_VIDEO_DRIVER's.
std::vector<std::string> SplitDrivers(const std::string& list) {
  std::vector<std::string> drivers;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    if (end > start) drivers.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return drivers;
}

std::string JoinDrivers(const std::vector<std::string>& drivers) {
  std::string list;
  for (const auto& d : drivers)
    list += (list.empty() ? "" : ",") + d;
  return list;
}

// What SIGINT and SIGTERM do depends on where the program stands. Starting,
// it may be blocked inside SDL or Xlib on a display that does not answer, so
// it ends there and then: nothing is lost yet. Running, the loop sees the
// request as it sees a close. Showing a run-time error, it ends with the
// error's status, and the box with it.
enum Stage : int { kStarting, kRunning, kShowingError };
volatile std::sig_atomic_t g_stage = kStarting;
volatile std::sig_atomic_t g_end_requested = 0;
// The screensaver's window asked to end because of the user's input. Kept
// apart from a signal's request: a resident screensaver takes the input's
// back and waits again, and a SIGTERM that came meanwhile must still end it.
volatile std::sig_atomic_t g_ended_by_input = 0;
// The screensaver's processes for the other displays, and whether one of
// them has ended: this one's window then ends too.
constexpr int kMaxCompanions = 64;
pid_t g_companions[kMaxCompanions];
volatile std::sig_atomic_t g_companion_count = 0;
volatile std::sig_atomic_t g_companion_ended = 0;
// SDL shows its message boxes from a child process: a fork of the program on
// X11 (which shares the program's X connection and so keeps its window up
// too), zenity on Wayland. This file lists the children of the thread that
// shows the box.
char g_children_path[64];
// The line printed when the display does not answer in time, composed before
// the wait starts.
char g_no_answer[512];
volatile std::sig_atomic_t g_no_answer_length = 0;

// Sends SIGTERM to every child of the thread showing the box, with only
// what a signal handler may call.
void EndChildren() {
  const int fd = open(g_children_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char list[512];
  const ssize_t n = read(fd, list, sizeof list);
  close(fd);
  pid_t child = 0;
  for (ssize_t i = 0; i < n; ++i) {
    if (list[i] >= '0' && list[i] <= '9') {
      child = child * 10 + (list[i] - '0');
    } else {
      if (child > 0) kill(child, SIGTERM);
      child = 0;
    }
  }
  if (child > 0) kill(child, SIGTERM);
}

void OnEndSignal(int) {
  switch (g_stage) {
    case kStarting:
      _exit(0);
    case kShowingError:
      EndChildren();
      _exit(1);
    default:
      g_end_requested = 1;
  }
}

void OnNoAnswer(int) {
  [[maybe_unused]] const ssize_t written =
      write(STDERR_FILENO, g_no_answer, static_cast<std::size_t>(g_no_answer_length));
  _exit(1);
}

void InstallSignalHandlers() {
  g_stage = kStarting;
  g_end_requested = 0;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = OnEndSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = OnNoAnswer;
  sigaction(SIGALRM, &action, nullptr);
  // SDL's own handlers only queue a quit event, which nobody takes while SDL
  // or Xlib is blocked on the display.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
}

// From now on a display that has not answered within kAnswerSeconds ends the
// program, naming the displays SDL may be waiting on.
void ArmAnswerTimeout(const std::vector<std::string>& drivers) {
  std::string where;
  for (const auto& d : drivers) {
    const bool wayland = SDL_strcasecmp(d.c_str(), "wayland") == 0;
    if (!wayland && SDL_strcasecmp(d.c_str(), "x11") != 0) continue;
    const char* name = wayland ? "WAYLAND_DISPLAY" : "DISPLAY";
    const char* value = std::getenv(name);
    where += std::string(where.empty() ? "" : ", ") + name + "=" +
             (value != nullptr && value[0] != '\0' ? value : (wayland ? "wayland-0" : ""));
  }
  const int n = std::snprintf(g_no_answer, sizeof g_no_answer,
                              "glimmerfeld: the display (%s) does not answer\n", where.c_str());
  g_no_answer_length = std::clamp(n, 0, static_cast<int>(sizeof g_no_answer) - 1);
  alarm(kAnswerSeconds);
}

}  // namespace

void PrepareVideo(const WindowSettings& settings) {
  InstallSignalHandlers();
  // A screensaver host's windows are X windows, whatever else is there; the
  // screensaver's own full-screen window is made as the program's is.
  const bool hosted = settings.host == WindowSettings::Host::kHostWindow ||
                      settings.host == WindowSettings::Host::kRootWindow;
  const bool x11 = EnvSet("DISPLAY");
  const bool wayland = EnvSet("WAYLAND_DISPLAY") && !hosted;
  // Without a display SDL would quietly fall back to an invisible offscreen
  // window and the program would run unseen.
  if (hosted && !x11)
    throw StartupError("no X display for the screensaver's window (DISPLAY is not set)");
  if (!x11 && !wayland) {
    throw StartupError(
        "no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)");
  }
  // Only the drivers that can show a window. Native Wayland first: there the
  // window gets the output's real scale, which X11 through Xwayland lacks.
  const char* user_variable = hosted ? nullptr : UserDriverVariable();
  const bool user_choice = user_variable != nullptr;
  std::vector<std::string> drivers =
      SplitDrivers(user_choice ? std::getenv(user_variable)
                               : (x11 && wayland ? "wayland,x11" : (x11 ? "x11" : "wayland")));
  // Keep SDL off a compositor that cannot be reached or does not answer,
  // even as a fallback after a failed X11 start.
  const auto wl = std::find_if(drivers.begin(), drivers.end(), [](const std::string& d) {
    return SDL_strcasecmp(d.c_str(), "wayland") == 0;  // as SDL matches driver names
  });
  if (wl != drivers.end()) {
    const std::string why = wayland::Unusable();
    if (!why.empty()) {
      drivers.erase(wl);
      if (drivers.empty()) {
        throw StartupError(
            why + (user_choice ? std::string("; ") + user_variable + " allows no other driver"
                               : (x11 ? "" : "; set DISPLAY to use X11")));
      }
    }
  }
  if (x11) x11::InstallErrorHandlers();
  // From here on every wait on a display is bounded, the visual's below too.
  ArmAnswerTimeout(drivers);
  // A screen whose colours SDL cannot draw in leaves X11 out; refused
  // outright when nothing else is left.
  const auto on_x11 = std::find_if(drivers.begin(), drivers.end(), [](const std::string& d) {
    return SDL_strcasecmp(d.c_str(), "x11") == 0;
  });
  if (on_x11 != drivers.end() && !hosted) {
    const std::string why = x11::ChooseVisual();
    if (!why.empty()) {
      drivers.erase(on_x11);
      if (drivers.empty()) throw StartupError(why);
    }
  }
  // The user's own choice is overridden only to take the crashing driver out.
  SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, JoinDrivers(drivers).c_str(),
                          user_choice || hosted ? SDL_HINT_OVERRIDE : SDL_HINT_DEFAULT);
  // SDL takes the window's class on X11, and its app id on Wayland, from
  // this; the desktop entry is found by the same name.
  if (!settings.app_id.empty()) SDL_SetHint(SDL_HINT_APP_ID, settings.app_id.c_str());
  // A screensaver host's X window is only watched: selecting button presses
  // on it, as SDL would, fails where the host or a window manager already
  // holds them.
  if (hosted) SDL_SetHint(SDL_HINT_VIDEO_X11_EXTERNAL_WINDOW_INPUT, "0");
  // SDL's own word on a lost display would make two lines of ours one too
  // many (OnQuitEvent says it).
  SDL_SetLogPriority(SDL_LOG_CATEGORY_VIDEO, SDL_LOG_PRIORITY_CRITICAL);
  // A write to a display server that has just died must come back as an
  // error for the handlers to report, not end the program silently through
  // SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
}

const Backend& Started() {
  const char* driver = SDL_GetCurrentVideoDriver();
  const std::string name = driver != nullptr ? driver : "";
  for (const Backend* b : {&x11::kBackend, &wayland::kBackend})
    if (name == b->driver) return *b;
  // SDL falls back quietly to drivers that show nothing (offscreen, dummy).
  throw StartupError("no visible display available (SDL video driver '" + name + "')");
}

std::string DisplayNamed() {
  std::string where;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    if (EnvSet(name))
      where += std::string(where.empty() ? " (" : " ") + name + "=" + std::getenv(name);
  }
  return where.empty() ? where : where + ")";
}

void ShowStartupError(const std::string&) {}

// Nothing here starts it (xscreensaver has its own settings).
void ShowSettingsDialog(std::uint64_t, const std::string& title, const std::string& message) {
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, title.c_str(), message.c_str(), nullptr);
}

namespace linux_desktop {

void StartupDone() {
  alarm(0);
  g_stage = kRunning;
}

void StopAnswerTimeout() {
  alarm(0);
}

void PrepareWaylandOnly() {
  InstallSignalHandlers();
  ArmAnswerTimeout({"wayland"});
  std::signal(SIGPIPE, SIG_IGN);
}

void PrepareX11Only() {
  InstallSignalHandlers();
  x11::InstallErrorHandlers();
  ArmAnswerTimeout({"x11"});
  std::signal(SIGPIPE, SIG_IGN);
}

bool WaitReadable(int fd, std::optional<std::int64_t> timeout_ns) {
  // Held back from the check until the wait itself, which lets them in.
  sigset_t ends, before;
  sigemptyset(&ends);
  sigaddset(&ends, SIGINT);
  sigaddset(&ends, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ends, &before);
  bool readable = false;
  if (!SignalledToEnd()) {
    timespec wait{};
    if (timeout_ns) {
      const std::int64_t ns = std::max<std::int64_t>(*timeout_ns, 0);
      wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    pollfd p{fd, POLLIN, 0};
    readable = ppoll(&p, 1, timeout_ns ? &wait : nullptr, &before) > 0;
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return readable;
}

bool SignalledToEnd() {
  return g_end_requested != 0 || g_ended_by_input != 0 || g_companion_ended != 0;
}

namespace {

// Looks without collecting, so that the screensaver's own wait still finds
// how each ended; other children (a message box's) are left alone.
void OnChildEnded(int) {
  const int saved = errno;
  for (int i = 0; i < g_companion_count; ++i) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(g_companions[i]), &info, WEXITED | WNOHANG | WNOWAIT) ==
            0 &&
        info.si_pid != 0) {
      g_companion_ended = 1;
    }
  }
  errno = saved;
}

}  // namespace

bool FollowCompanion(int pid) {
  if (g_companion_count == 0) {
    g_companion_ended = 0;
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnChildEnded;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
  }
  if (g_companion_count == kMaxCompanions) return false;
  g_companions[g_companion_count] = pid;
  g_companion_count = g_companion_count + 1;
  // One that ended before it was listed.
  OnChildEnded(SIGCHLD);
  return true;
}

void ForgetCompanions() {
  std::signal(SIGCHLD, SIG_DFL);
  g_companion_count = 0;
  g_companion_ended = 0;
}

void NewScreenWindows() {
  g_ended_by_input = 0;
}

namespace {

// Sees every event as SDL queues it, in order: a move is measured in the
// window's coordinates of the moment.
bool SDLCALL WatchScreenInput(void* data, SDL_Event* event) {
  auto& input = *static_cast<EndOnInput*>(data);
  switch (event->type) {
    case SDL_EVENT_KEY_DOWN:
      input.KeyPressed();
      break;
    case SDL_EVENT_MOUSE_BUTTON_DOWN:
      input.ButtonPressed();
      break;
    case SDL_EVENT_MOUSE_MOTION:
      input.PointerAt(nullptr, event->motion.x, event->motion.y);
      break;
    case SDL_EVENT_WINDOW_MOVED:
    case SDL_EVENT_WINDOW_RESIZED:
      // Made full screen by the window manager, say.
      input.SurfaceMoved();
      break;
    default:
      break;
  }
  if (input.Ended()) g_ended_by_input = 1;
  return true;
}

}  // namespace

std::vector<SDL_DisplayID> ScreenDisplays() {
  const SDL_DisplayID primary = SDL_GetPrimaryDisplay();
  std::vector<SDL_DisplayID> order;
  std::vector<SDL_Rect> covered;
  auto add = [&](SDL_DisplayID display) {
    SDL_Rect bounds{0, 0, 0, 0};
    if (!SDL_GetDisplayBounds(display, &bounds)) return;
    // SDL places a window by where it is. Separate X screens all start at
    // 0,0, and a window meant for a later one would land on the first
    // again: those are left out.
    const SDL_Point centre{bounds.x + bounds.w / 2, bounds.y + bounds.h / 2};
    for (const SDL_Rect& r : covered)
      if (SDL_PointInRect(&centre, &r)) return;
    order.push_back(display);
    covered.push_back(bounds);
  };
  if (primary != 0) add(primary);
  int count = 0;
  SDL_DisplayID* displays = SDL_GetDisplays(&count);
  for (int i = 0; displays != nullptr && i < count; ++i)
    if (displays[i] != primary) add(displays[i]);
  SDL_free(displays);
  return order;
}

namespace {
// The display the screensaver's window was made for.
SDL_DisplayID g_screen_display = 0;
}  // namespace

void PinScreenWindow(SDL_Window* window) {
  if (g_screen_display == 0) return;
  const SDL_DisplayMode* mode = SDL_GetDesktopDisplayMode(g_screen_display);
  if (mode != nullptr) SDL_SetWindowFullscreenMode(window, mode);
}

void SetScreenWindow(SDL_PropertiesID props, const WindowSettings& settings) {
  const std::vector<SDL_DisplayID> displays = ScreenDisplays();
  SDL_Rect bounds{0, 0, 0, 0};
  // A display unplugged since they were counted leaves its process nothing
  // to cover: it covers the primary too, and ends with the others.
  const std::size_t which = static_cast<std::size_t>(settings.display) < displays.size()
                                ? static_cast<std::size_t>(settings.display)
                                : 0;
  if (displays.empty() || !SDL_GetDisplayBounds(displays[which], &bounds)) {
    throw StartupError(std::string("cannot find the display to cover: ") + SDL_GetError());
  }
  g_screen_display = displays[which];
  auto* input = VideoState<EndOnInput>("glimmerfeld.screen_input", true);
  if (input == nullptr || !SDL_AddEventWatch(WatchScreenInput, input)) {
    throw StartupError(std::string("cannot follow the input: ") + SDL_GetError());
  }
  // A resident screensaver's window before this one was ended by input too.
  *input = EndOnInput();
  SDL_SetStringProperty(props, SDL_PROP_WINDOW_CREATE_TITLE_STRING, settings.title.c_str());
  // Placed and sized as full screen from the start: a window manager that
  // does not take the hint leaves it so, and the pointer's place in it does
  // not jump as it becomes full screen.
  SDL_SetNumberProperty(props, SDL_PROP_WINDOW_CREATE_X_NUMBER, bounds.x);
  SDL_SetNumberProperty(props, SDL_PROP_WINDOW_CREATE_Y_NUMBER, bounds.y);
  SDL_SetNumberProperty(props, SDL_PROP_WINDOW_CREATE_WIDTH_NUMBER, bounds.w);
  SDL_SetNumberProperty(props, SDL_PROP_WINDOW_CREATE_HEIGHT_NUMBER, bounds.h);
  SDL_SetBooleanProperty(props, SDL_PROP_WINDOW_CREATE_FULLSCREEN_BOOLEAN, true);
  SDL_SetBooleanProperty(props, SDL_PROP_WINDOW_CREATE_BORDERLESS_BOOLEAN, true);
  SDL_SetBooleanProperty(props, SDL_PROP_WINDOW_CREATE_HIDDEN_BOOLEAN, true);
  SDL_HideCursor();
}

void EndAsInput() {
  g_ended_by_input = 1;
}

bool TakeEndedByInput() {
  if (g_ended_by_input == 0) return false;
  g_ended_by_input = 0;
  return true;
}

bool PrepareErrorBox() {
  std::snprintf(g_children_path, sizeof g_children_path, "/proc/self/task/%ld/children",
                static_cast<long>(syscall(SYS_gettid)));
  g_stage = kShowingError;
  // Asked to end already: stderr has the message, and nobody waits for a box.
  return !SignalledToEnd();
}

}  // namespace linux_desktop
}  // namespace glimmer::backend
