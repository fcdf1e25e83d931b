// xprobe: the window probe as a command, for scripts (screenshots, benches).
//   xprobe wait TITLE [TIMEOUT_MS]   print the id of the window titled TITLE
//   xprobe size ID                   print its client size as "W H"
//   xprobe png ID FILE               save its client area as a PNG
//   xprobe close ID                  ask it to close (WM_DELETE_WINDOW)
//   xprobe resize ID W H
//   xprobe set-resources TEXT        replace the root window's resources
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "tests/support/x11_probe.h"

int main(int argc, char** argv) {
  using glimmer::testing::XProbe;
  const char* display = std::getenv("DISPLAY");
  if (argc < 3 || display == nullptr) {
    std::fprintf(stderr,
                 "usage: xprobe wait|size|png|close|resize|set-resources ... (DISPLAY set)\n");
    return 2;
  }
  try {
    XProbe probe(display);
    const std::string cmd = argv[1];
    if (cmd == "set-resources") {
      probe.SetResources(argv[2]);
      return 0;
    }
    if (cmd == "wait") {
      const long ms = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 5000;
      auto w = probe.WaitForWindow(argv[2], std::chrono::milliseconds(ms));
      if (!w) return 1;
      std::printf("%lu\n", *w);
      return 0;
    }
    const Window w = std::strtoul(argv[2], nullptr, 0);
    if (cmd == "size") {
      auto [width, height] = probe.Size(w);
      std::printf("%d %d\n", width, height);
      return width > 0 ? 0 : 1;
    }
    if (cmd == "png" && argc > 3)
      return glimmer::testing::WritePng(probe.Capture(w), argv[3]) ? 0 : 1;
    if (cmd == "close") {
      probe.RequestClose(w);
      return 0;
    }
    if (cmd == "resize" && argc > 4) {
      probe.Resize(w, std::atoi(argv[3]), std::atoi(argv[4]));
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xprobe: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "xprobe: unknown command\n");
  return 2;
}
