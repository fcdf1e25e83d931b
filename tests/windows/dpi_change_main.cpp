// glimmerfeld_dpi_change: the program, told a second after its window shows
// that the window is now at 144 dpi, as Windows tells a program whose window
// has moved to a monitor of that density.
#include <windows.h>

#include <thread>

#include "app/program.h"

namespace {

void TellOfANewDpi() {
  HWND window = nullptr;
  for (int i = 0; i < 400 && window == nullptr; ++i) {
    Sleep(50);
    window = FindWindowW(nullptr, L"Glimmerfeld!");
  }
  if (window == nullptr) return;
  Sleep(1000);
  // Where Windows would put the window: its frame scaled with it.
  RECT rect;
  GetWindowRect(window, &rect);
  rect.right = rect.left + MulDiv(rect.right - rect.left, 144, 96);
  rect.bottom = rect.top + MulDiv(rect.bottom - rect.top, 144, 96);
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&rect));
}

}  // namespace

int main() {
  std::thread teller;
  const int status = glimmer::RunProgram(
      nullptr, {},
      [&](glimmer::FieldWindow<glimmer::SdlRuntime>&) { teller = std::thread(TellOfANewDpi); });
  if (teller.joinable()) teller.join();
  return status;
}
