// SYSTEM AND BACKEND: Windows (10 and later; tested under Wine), on SDL's
//   own Win32 video driver.
// COVERS: the window's own DPI as the display scale, followed when it
//   changes; a wait that can end within a millisecond; the animation going
//   on through the modal loops of moving, sizing and the system menu;
//   start-up errors in a message box, since a GUI program has no console;
//   the screensaver's windows (over every monitor, ended by input, or the
//   preview's child, ended with its parent) and its settings dialog.
// LIMITATIONS: run-time errors are shown in the SDL runtime's message box.
// DEPENDENCIES: SDL3 (linked statically), user32, winmm.
#include <SDL3/SDL.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <timeapi.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "runtime/core/window_settings.h"
#include "runtime/desktop/backend.h"

namespace glimmer::backend {
namespace {

constexpr UINT_PTR kModalTimer = 0x676c6d72;  // any id SDL does not use
// Over every monitor, a move of the pointer within this many pixels of where
// it was is a tremor.
constexpr LONG kPointerSlack = 4;

// The program's window, from its making (the screensaver's) or preparing
// until teardown. Its window procedure finds it through the window.
struct WindowState {
  // The screensaver's window, made here for Windows' protocol, which hands
  // the program a parent window (the preview) or nothing (the whole screen).
  HWND saver_window = nullptr;
  HWND preview_parent = nullptr;
  // Over every monitor, the user's first key, click or move ends the saver,
  // as does another program coming to the front.
  bool end_on_input = false;
  POINT pointer_at_start{};
  bool end_requested = false;
  // A new DPI comes as a sent message, which SDL's hook does not see and SDL
  // itself reports only when the window has moved to a display of another
  // scale: a window procedure of ours in front of SDL's reads it first.
  WNDPROC sdl_proc = nullptr;
  HWND subclassed = nullptr;
  WindowNews news;
};
// The window property that leads our window procedure to the state.
constexpr wchar_t kStateProperty[] = L"Glimmerfeld.WindowState";

// SDL's video as this backend follows it, from before SDL starts until it
// quits. SDL's message hook and event watch are handed it.
struct Connection {
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (watching) SDL_SetWindowsMessageHook(nullptr, nullptr);
  }

  // Whether timeBeginPeriod(1) is in force, to be undone at teardown.
  bool fine_timer = false;
  // While the title bar is held, the window is sized by its border or its
  // system menu is open, DefWindowProc runs a message loop of its own and
  // SDL's event pump does not return until the user lets go. A timer
  // started as that loop begins brings the program's step in: SDL hands the
  // loop's start, end and every message inside it to its message hook.
  std::function<void()> modal_step;
  bool watching = false;
  std::unique_ptr<WindowState> window;
};
constexpr const char* kConnection = "glimmerfeld.windows";

Connection* Find() {
  return VideoState<Connection>(kConnection);
}
// Throws StartupError where SDL cannot keep it.
Connection& Connect() {
  Connection* connection = VideoState<Connection>(kConnection, true);
  if (connection == nullptr) {
    throw StartupError(std::string("cannot follow the window: ") + SDL_GetError());
  }
  return *connection;
}
WindowState* Watched() {
  Connection* connection = Find();
  return connection != nullptr ? connection->window.get() : nullptr;
}

void NoteInput(WindowState& state, UINT msg) {
  switch (msg) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
    case WM_MOUSEWHEEL:
      state.end_requested = true;
      break;
    case WM_MOUSEMOVE: {
      // Windows also sends one when a window appears under a still pointer.
      POINT at;
      if (GetCursorPos(&at) && (std::abs(at.x - state.pointer_at_start.x) > kPointerSlack ||
                                std::abs(at.y - state.pointer_at_start.y) > kPointerSlack)) {
        state.end_requested = true;
      }
      break;
    }
    default:
      break;
  }
}

// SDL's hook sees the messages its own loop takes from the queue (input,
// timers) and every message inside a modal loop; sent messages outside one
// (WM_ACTIVATEAPP, WM_DESTROY) reach only SDL, which reports them as events.
bool SDLCALL WatchWindowMessages(void* data, MSG* m) {
  Connection& connection = *static_cast<Connection*>(data);
  WindowState* watched = connection.window.get();
  if (watched != nullptr && watched->end_on_input) NoteInput(*watched, m->message);
  switch (m->message) {
    case WM_ENTERSIZEMOVE:
    case WM_ENTERMENULOOP:
      // About 10 ms at the least; the lag rule makes up the ticks between.
      SetTimer(m->hwnd, kModalTimer, USER_TIMER_MINIMUM, nullptr);
      break;
    case WM_EXITSIZEMOVE:
    case WM_EXITMENULOOP:
      KillTimer(m->hwnd, kModalTimer);
      break;
    case WM_TIMER:
      if (m->wParam == kModalTimer && connection.modal_step) connection.modal_step();
      break;
    default:
      break;
  }
  return true;
}

// Another program coming to the front (a prompt, a notification) takes the
// focus from the screensaver: the user is back.
bool SDLCALL WatchEvents(void* data, SDL_Event* event) {
  WindowState* watched = static_cast<Connection*>(data)->window.get();
  if (watched != nullptr && watched->end_on_input && event->type == SDL_EVENT_WINDOW_FOCUS_LOST)
    watched->end_requested = true;
  return true;
}

LRESULT CALLBACK InFrontOfSdl(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  // Put in place only once the property is, and taken out before it goes.
  auto* state = static_cast<WindowState*>(GetPropW(hwnd, kStateProperty));
  if (state == nullptr) return DefWindowProcW(hwnd, msg, wparam, lparam);
  if (msg == WM_DPICHANGED && HIWORD(wparam) > 0) state->news.scale = HIWORD(wparam) / 96.0;
  return CallWindowProcW(state->sdl_proc, hwnd, msg, wparam, lparam);
}

void Watch(Connection& connection) {
  if (!connection.watching) {
    SDL_SetWindowsMessageHook(WatchWindowMessages, &connection);
    SDL_AddEventWatch(WatchEvents, &connection);
    connection.watching = true;
  }
}

constexpr wchar_t kSaverClass[] = L"GlimmerfeldScreensaver";

// Black from the start, so the window never flashes white before the first frame.
bool RegisterSaverClass() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = kSaverClass;
  // Registered for the process: once is enough.
  return RegisterClassW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

std::wstring Widen(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 0) return L"";
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
  wide.resize(static_cast<std::size_t>(n - 1));
  return wide;
}

}  // namespace

void PrepareVideo(const WindowSettings&) {
  // SDL is per-monitor DPI aware, as the manifest declares, and is left to
  // size windows in device pixels (no SDL_HINT_WINDOWS_DPI_SCALING): the
  // portable runtime scales the client area itself, and SDL scaling it
  // again made it twice too large.
  // Waits and sleeps otherwise end on the 15.6 ms system tick, far too late
  // for a 16.7 ms frame.
  Connect().fine_timer = timeBeginPeriod(1) == TIMERR_NOERROR;
}

std::string DisplayNamed() {
  return {};
}

namespace {

double DisplayScale(SDL_Window* window) {
  auto* hwnd = static_cast<HWND>(SDL_GetPointerProperty(
      SDL_GetWindowProperties(window), SDL_PROP_WINDOW_WIN32_HWND_POINTER, nullptr));
  if (hwnd == nullptr) return 1.0;
  const UINT dpi = GetDpiForWindow(hwnd);
  return dpi >= 24 && dpi <= 960 ? dpi / 96.0 : 1.0;
}

HWND MakeHostWindow(const WindowSettings& settings) {
  if (!RegisterSaverClass()) {
    throw StartupError("cannot register the screensaver's window class (error " +
                       std::to_string(GetLastError()) + ")");
  }
  const std::wstring title = Widen(settings.title);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto state = std::make_unique<WindowState>();
  HWND window = nullptr;
  if (settings.host == WindowSettings::Host::kHostWindow) {
    const auto parent = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(settings.host_window));
    RECT area;
    if (!IsWindow(parent) || !GetClientRect(parent, &area)) {
      throw StartupError("no window " + std::to_string(settings.host_window) +
                         " to show the preview in");
    }
    window = CreateWindowExW(0, kSaverClass, title.c_str(), WS_CHILD | WS_VISIBLE, 0, 0, area.right,
                             area.bottom, parent, nullptr, instance, nullptr);
    state->preview_parent = parent;
  } else if (settings.host == WindowSettings::Host::kScreen) {
    // Every monitor: the virtual screen, in device pixels since the process
    // is DPI aware. Kept out of the taskbar and above every other window.
    GetCursorPos(&state->pointer_at_start);
    window =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kSaverClass, title.c_str(),
                        WS_POPUP | WS_VISIBLE, GetSystemMetrics(SM_XVIRTUALSCREEN),
                        GetSystemMetrics(SM_YVIRTUALSCREEN), GetSystemMetrics(SM_CXVIRTUALSCREEN),
                        GetSystemMetrics(SM_CYVIRTUALSCREEN), nullptr, nullptr, instance, nullptr);
    if (window != nullptr) {
      SetForegroundWindow(window);
      state->end_on_input = true;
    }
  } else {
    throw StartupError("the root window is X11's; Windows has none to draw into");
  }
  if (window == nullptr) {
    throw StartupError("cannot make the screensaver's window (error " +
                       std::to_string(GetLastError()) + ")");
  }
  state->saver_window = window;
  Connect().window = std::move(state);
  return window;
}

void SetHostWindow(SDL_PropertiesID props, const WindowSettings& settings) {
  SDL_SetPointerProperty(props, SDL_PROP_WINDOW_CREATE_WIN32_HWND_POINTER,
                         MakeHostWindow(settings));
}

void PrepareWindow(SDL_Window* window) {
  Connection& connection = Connect();
  // For the screensaver's input and end, and the modal loops.
  Watch(connection);
  // The screensaver's window has its state from its making.
  if (connection.window == nullptr) connection.window = std::make_unique<WindowState>();
  WindowState& state = *connection.window;
  auto* hwnd = static_cast<HWND>(SDL_GetPointerProperty(
      SDL_GetWindowProperties(window), SDL_PROP_WINDOW_WIN32_HWND_POINTER, nullptr));
  if (hwnd != nullptr && state.subclassed == nullptr && SetPropW(hwnd, kStateProperty, &state)) {
    state.sdl_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(InFrontOfSdl)));
    if (state.sdl_proc != nullptr) {
      state.subclassed = hwnd;
    } else {
      RemovePropW(hwnd, kStateProperty);
    }
  }
  if (state.end_on_input) SDL_HideCursor();
}

bool WaitEvent(SDL_Event& event, int timeout_ms) {
  // Waiting for any of the window's messages, which arrive on this thread, up
  // to the deadline, wakes as soon as SDL has one to take, and ends within a
  // millisecond of the deadline under timeBeginPeriod(1).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (SDL_PollEvent(&event)) return true;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // MWMO_INPUTAVAILABLE: also wakes for messages already queued but not yet
    // taken, not only for new ones.
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left.count()), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
}

// The screensaver's end: the user's input, or the preview's window or its
// parent (the Screen Saver settings) gone.
bool SignalledToEnd() {
  WindowState* state = Watched();
  if (state == nullptr) return false;
  if (state->preview_parent != nullptr &&
      (!IsWindow(state->preview_parent) || !IsWindow(state->saver_window))) {
    state->end_requested = true;
  }
  return state->end_requested;
}

void SetModalStep(std::function<void()> step) {
  Connection* connection = Find();
  if (connection == nullptr) return;
  connection->modal_step = std::move(step);
  Watch(*connection);
}

// A new DPI; SDL reports minimising, and covering is not looked at.
WindowNews TakeWindowNews() {
  WindowState* state = Watched();
  return state != nullptr ? std::exchange(state->news, WindowNews{}) : WindowNews{};
}

void BeginTeardown() {
  Connection* connection = Find();
  if (connection == nullptr) return;
  if (WindowState* state = connection->window.get();
      state != nullptr && state->subclassed != nullptr) {
    // SDL's own procedure back, for SDL to tear its window down with.
    if (IsWindow(state->subclassed)) {
      SetWindowLongPtrW(state->subclassed, GWLP_WNDPROC,
                        reinterpret_cast<LONG_PTR>(state->sdl_proc));
      RemovePropW(state->subclassed, kStateProperty);
    }
  }
  connection->window.reset();
  if (connection->fine_timer) timeEndPeriod(1);
  connection->fine_timer = false;
}

const Backend kBackend = {
    .driver = "windows",
    .SetHostWindow = SetHostWindow,
    .PrepareWindow = PrepareWindow,
    // SDL's window surface, a DIB, is the way here.
    .MakePresenter = NoPresenter,
    .DisplayScale = DisplayScale,
    .ShowWithoutWaiting = SdlShowWindow,
    // A GUI program gets no SIGINT or SIGTERM; a close is the way to end it.
    .StartupDone = [] {},
    .TakeWindowNews = TakeWindowNews,
    // SDL's, from Windows' own frame.
    .WindowFrame = SdlWindowFrame,
    .WaitEvent = WaitEvent,
    .SetModalStep = SetModalStep,
    .SignalledToEnd = SignalledToEnd,
    // Windows' own quit is a close (the session ending, say).
    .OnQuitEvent = [] {},
    .PrepareErrorBox = [] { return true; },
    .BeginTeardown = BeginTeardown,
};

}  // namespace

// SDL's Win32 driver is the only one built in.
const Backend& Started() {
  return kBackend;
}

void ShowStartupError(const std::string& message) {
  MessageBoxW(nullptr, Widen(message).c_str(), L"Glimmerfeld", MB_OK | MB_ICONERROR);
}

void ShowSettingsDialog(std::uint64_t owner, const std::string& title, const std::string& message) {
  HWND parent = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(owner));
  if (parent != nullptr && !IsWindow(parent)) parent = nullptr;
  MessageBoxW(parent, Widen(message).c_str(), Widen(title).c_str(), MB_OK | MB_ICONINFORMATION);
}

}  // namespace glimmer::backend
