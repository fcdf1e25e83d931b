// scr_host: plays the Screen Saver settings' part towards a .scr, for the
// tests under Wine. It owns a window titled "Screensaver host" and reports on
// stderr what it saw, a line each.
//   scr_host preview SCR         runs `SCR /p HWND` with its window as the
//                                preview's parent, reports the child window
//                                SCR makes in it, and once the window is
//                                closed (WM_CLOSE) waits for SCR to end
//   scr_host settings SCR ARG..  runs `SCR ARG..` (%HWND% in an ARG becomes
//                                the window's handle), finds SCR's dialog,
//                                reports its title, text and owner, and
//                                presses its OK button
//   scr_host front               shows its window and brings it to the front,
//                                as a program asking for the user does, and
//                                ends a second later
// For preview and settings the last line is "status N after M ms" (from the close, or from
// pressing OK) and the exit status is SCR's, or 99 if it did not end within
// 30 s (it is then ended by force).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kEndTimeoutMs = 30'000;

LRESULT CALLBACK HostProc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, msg, wparam, lparam);
}

HWND MakeHostWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = HostProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
  wc.lpszClassName = L"ScrHost";
  RegisterClassW(&wc);
  // The size of the preview area in Windows 10's Screen Saver settings, a
  // little larger.
  RECT r{0, 0, 320, 240};
  AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
  return CreateWindowW(L"ScrHost", L"Screensaver host",
                       WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE, 40, 40, r.right - r.left,
                       r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
}

bool Start(const std::string& command_line, PROCESS_INFORMATION& process) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &process)) {
    std::fprintf(stderr, "cannot start %s (error %lu)\n", command_line.c_str(), GetLastError());
    return false;
  }
  return true;
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Waits for the .scr to end, reports, and returns the exit status to use.
// Messages are taken meanwhile: a dialog the host owns sends it some as it
// closes.
int Finish(PROCESS_INFORMATION& process, DWORD since) {
  bool ended = false;
  while (!ended && GetTickCount() - since < kEndTimeoutMs) {
    Pump();
    ended =
        MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0;
  }
  if (!ended) {
    std::fprintf(stderr, "still running after %lu ms\n", GetTickCount() - since);
    TerminateProcess(process.hProcess, 99);
    return 99;
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  std::fprintf(stderr, "status %lu after %lu ms\n", status, GetTickCount() - since);
  return static_cast<int>(status);
}

std::string TextOf(HWND window) {
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

struct DialogSearch {
  DWORD process_id;
  HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  char cls[64] = {};
  GetClassNameA(window, cls, sizeof cls);
  if (pid == search->process_id && std::string(cls) == "#32770" && IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK ReportStatic(HWND child, LPARAM) {
  char cls[64] = {};
  GetClassNameA(child, cls, sizeof cls);
  const std::string text = TextOf(child);
  if (std::string(cls) == "Static" && !text.empty())
    std::fprintf(stderr, "text: %s\n", text.c_str());
  return TRUE;
}

// The child window SCR made in `host`: its class, client size, whether it
// is visible, and the host's client size.
void ReportChild(HWND host) {
  HWND child = GetWindow(host, GW_CHILD);
  if (child == nullptr) {
    std::fprintf(stderr, "no child after 30 s\n");
    return;
  }
  char cls[64] = {};
  GetClassNameA(child, cls, sizeof cls);
  RECT mine, theirs;
  GetClientRect(child, &mine);
  GetClientRect(host, &theirs);
  std::fprintf(stderr, "child: %s %ldx%ld in %ldx%ld, %s\n", cls, mine.right, mine.bottom,
               theirs.right, theirs.bottom, IsWindowVisible(child) ? "visible" : "hidden");
}

int Preview(const std::string& scr) {
  HWND host = MakeHostWindow();
  PROCESS_INFORMATION process{};
  if (host == nullptr ||
      !Start("\"" + scr + "\" /p " + std::to_string(reinterpret_cast<std::uintptr_t>(host)),
             process)) {
    return 98;
  }
  // Looked for every 50 ms, up to 30 s.
  constexpr UINT_PTR kLook = 1;
  SetTimer(host, kLook, 50, nullptr);
  const DWORD started = GetTickCount();
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.wParam == kLook &&
        (GetWindow(host, GW_CHILD) != nullptr || GetTickCount() - started > 30'000)) {
      KillTimer(host, kLook);
      ReportChild(host);
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return Finish(process, GetTickCount());
}

int Settings(const std::string& scr, const std::vector<std::string>& args) {
  HWND host = MakeHostWindow();
  std::string line = "\"" + scr + "\"";
  for (std::string arg : args) {
    if (const auto at = arg.find("%HWND%"); at != std::string::npos)
      arg.replace(at, 6, std::to_string(reinterpret_cast<std::uintptr_t>(host)));
    line += " " + arg;
  }
  PROCESS_INFORMATION process{};
  if (host == nullptr || !Start(line, process)) return 98;
  DialogSearch search{process.dwProcessId};
  for (DWORD start = GetTickCount(); search.found == nullptr && GetTickCount() - start < 30'000;) {
    Pump();
    Sleep(50);
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
  }
  if (search.found == nullptr) {
    std::fprintf(stderr, "no dialog\n");
    return Finish(process, GetTickCount());
  }
  HWND owner = GetWindow(search.found, GW_OWNER);
  std::fprintf(stderr, "title: %s\n", TextOf(search.found).c_str());
  EnumChildWindows(search.found, ReportStatic, 0);
  std::fprintf(stderr, "owner: %s\n", owner == nullptr ? "none" : owner == host ? "host" : "other");
  const DWORD pressed = GetTickCount();
  PostMessageW(search.found, WM_COMMAND, IDOK, 0);
  return Finish(process, pressed);
}

int Front() {
  HWND host = MakeHostWindow();
  if (host == nullptr) return 98;
  SetForegroundWindow(host);
  std::fprintf(stderr, "in front: %s\n", GetForegroundWindow() == host ? "yes" : "no");
  for (DWORD start = GetTickCount(); GetTickCount() - start < 1000;) {
    Pump();
    Sleep(20);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "preview") return Preview(args[1]);
  if (args.size() == 1 && args[0] == "front") return Front();
  if (args.size() >= 2 && args[0] == "settings")
    return Settings(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
  std::fprintf(stderr, "usage: scr_host preview SCR | settings SCR [ARG...] | front\n");
  return 2;
}
