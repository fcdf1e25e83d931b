// session_manager FILE: stands in for GNOME's session manager on the session
// bus (headless mutter runs none) as far as the resident screensaver asks
// it: org.gnome.SessionManager.IsInhibited answers true while FILE exists,
// as it does while a video player holds idle off. Runs until SIGTERM.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

const char* g_flag = nullptr;
volatile sig_atomic_t g_end = 0;

int IsInhibited(sd_bus_message* call, void*, sd_bus_error*) {
  std::uint32_t flags = 0;
  if (sd_bus_message_read(call, "u", &flags) < 0) return -EINVAL;
  return sd_bus_reply_method_return(call, "b", access(g_flag, F_OK) == 0 ? 1 : 0);
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("IsInhibited", "u", "b", IsInhibited, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: session_manager FILE\n");
    return 2;
  }
  g_flag = argv[1];
  signal(SIGTERM, [](int) { g_end = 1; });
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0 ||
      sd_bus_add_object_vtable(bus, nullptr, "/org/gnome/SessionManager",
                               "org.gnome.SessionManager", kManager, nullptr) < 0 ||
      sd_bus_request_name(bus, "org.gnome.SessionManager", 0) < 0) {
    std::fprintf(stderr, "session_manager: cannot serve on the session bus\n");
    return 1;
  }
  // Ready: the name is owned.
  std::printf("ready\n");
  std::fflush(stdout);
  while (g_end == 0) {
    if (sd_bus_process(bus, nullptr) > 0) continue;
    // SIGTERM cuts the wait short.
    sd_bus_wait(bus, UINT64_MAX);
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
