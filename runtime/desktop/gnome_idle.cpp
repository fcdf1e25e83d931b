// GNOME's idle time for the resident screensaver, where mutter offers no
// layers and no idle protocol to clients: its idle monitor on the session
// bus (org.gnome.Mutter.IdleMonitor), with one idle watch for the time given
// and, while the field is up, a user-active watch that ends it as input
// does. The monitor knows nothing of inhibitors (a video playing), so GNOME's
// session manager is asked too before the field covers anything; where it is
// not on the bus, nothing inhibits.
//
// sd-bus (libsystemd) speaks D-Bus here: a small synchronous API over one
// file descriptor that the waits below block on, and on Debian its library
// is on every system already. The bus is only used by one thread at a time:
// the program's, or while the field is up the watcher's.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "runtime/desktop/linux/linux_system.h"
#include "runtime/desktop/sdl_runtime.h"

namespace glimmer {
namespace {

constexpr const char* kMonitor = "org.gnome.Mutter.IdleMonitor";
constexpr const char* kMonitorPath = "/org/gnome/Mutter/IdleMonitor/Core";
// GNOME's inhibitor flag for "the session being marked idle".
constexpr std::uint32_t kInhibitIdle = 8;
// While an inhibitor holds off a field that is due, how often to ask again.
constexpr std::int64_t kInhibitedRecheckNs = 10'000'000'000;

class GnomeIdle final : public DesktopIdle {
 public:
  explicit GnomeIdle(std::uint32_t seconds) : idle_ms_(std::uint64_t{seconds} * 1000) {
    backend::linux_desktop::PrepareWaylandOnly();
    int r = sd_bus_open_user(&bus_);
    if (r < 0) throw StartupError(std::string("no session bus (") + std::strerror(-r) + ")");
    r = sd_bus_match_signal(bus_, nullptr, kMonitor, kMonitorPath, kMonitor, "WatchFired",
                            &GnomeIdle::OnWatchFired, this);
    std::optional<std::int64_t> id;
    if (r >= 0) id = Call("AddIdleWatch", "t", idle_ms_);
    if (!id) {
      throw StartupError(
          "no GNOME idle monitor (org.gnome.Mutter.IdleMonitor) on the session bus either");
    }
    idle_watch_ = static_cast<std::uint32_t>(*id);
    backend::linux_desktop::StartupDone();
  }
  ~GnomeIdle() override {
    StopWatchingForReturn();
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
  }
  GnomeIdle(const GnomeIdle&) = delete;
  GnomeIdle& operator=(const GnomeIdle&) = delete;

  bool WaitForIdle() override {
    for (;;) {
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
      if (backend::linux_desktop::SignalledToEnd()) return false;
      std::optional<std::int64_t> wait;
      if (idle_fired_) {
        // The user may have come back while an inhibitor held the field off:
        // then the watch fires again at the next idle time.
        const std::optional<std::uint64_t> idle = IdleTime();
        if (!idle || *idle < idle_ms_) {
          idle_fired_ = false;
        } else if (!Inhibited()) {
          idle_fired_ = false;
          return true;
        } else {
          wait = kInhibitedRecheckNs;
        }
      }
      sd_bus_flush(bus_);
      backend::linux_desktop::WaitReadable(sd_bus_get_fd(bus_), wait);
    }
  }

  void WatchForReturn() override {
    const std::optional<std::int64_t> id = Call("AddUserActiveWatch", "");
    if (!id || pipe(stop_) != 0) return;  // then only the input ends the field
    active_watch_ = static_cast<std::uint32_t>(*id);
    active_fired_ = false;
    watcher_ = std::thread([this] {
      for (;;) {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        if (active_fired_) {
          backend::linux_desktop::EndAsInput();
          return;
        }
        sd_bus_flush(bus_);
        pollfd fds[2] = {{sd_bus_get_fd(bus_), POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) > 0 && (fds[1].revents & POLLIN) != 0) return;
      }
    });
  }

  void StopWatchingForReturn() override {
    if (!watcher_.joinable()) return;
    [[maybe_unused]] const ssize_t written = write(stop_[1], "x", 1);
    watcher_.join();
    close(std::exchange(stop_[0], -1));
    close(std::exchange(stop_[1], -1));
    // A watch of the user's return lasts until it fires.
    if (!active_fired_) Call("RemoveWatch", "u", active_watch_);
    // An idle time that ran out under the field is over.
    idle_fired_ = false;
  }

 private:
  static int OnWatchFired(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<GnomeIdle*>(data);
    std::uint32_t id = 0;
    if (sd_bus_message_read(message, "u", &id) < 0) return 0;
    if (id == self->idle_watch_) self->idle_fired_ = true;
    if (id == self->active_watch_) self->active_fired_ = true;
    return 0;
  }

  // Calls one of the monitor's methods: its one number (a watch's id, the
  // idle time), 0 where it answers nothing, nullopt where the call fails.
  template <typename... Args>
  std::optional<std::int64_t> Call(const char* method, const char* types, Args... args) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus_, kMonitor, kMonitorPath, kMonitor, method, &error, &reply,
                                     types, args...);
    sd_bus_error_free(&error);
    if (r < 0) return std::nullopt;
    std::optional<std::int64_t> value = 0;
    std::uint32_t id = 0;
    std::uint64_t time = 0;
    if (sd_bus_message_peek_type(reply, nullptr, nullptr) > 0) {
      char type = 0;
      sd_bus_message_peek_type(reply, &type, nullptr);
      if (type == 'u' && sd_bus_message_read(reply, "u", &id) >= 0) value = id;
      if (type == 't' && sd_bus_message_read(reply, "t", &time) >= 0)
        value = static_cast<std::int64_t>(time);
    }
    sd_bus_message_unref(reply);
    return value;
  }

  std::optional<std::uint64_t> IdleTime() {
    const std::optional<std::int64_t> ms = Call("GetIdletime", "");
    if (!ms) return std::nullopt;
    return static_cast<std::uint64_t>(*ms);
  }

  bool Inhibited() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int inhibited = 0;
    if (sd_bus_call_method(bus_, "org.gnome.SessionManager", "/org/gnome/SessionManager",
                           "org.gnome.SessionManager", "IsInhibited", &error, &reply, "u",
                           kInhibitIdle) >= 0) {
      if (sd_bus_message_read(reply, "b", &inhibited) < 0) inhibited = 0;
      sd_bus_message_unref(reply);
    }
    sd_bus_error_free(&error);
    return inhibited != 0;
  }

  std::uint64_t idle_ms_;
  sd_bus* bus_ = nullptr;
  std::uint32_t idle_watch_ = 0;
  std::uint32_t active_watch_ = 0;
  bool idle_fired_ = false;
  bool active_fired_ = false;
  std::thread watcher_;
  int stop_[2] = {-1, -1};
};

}  // namespace

std::unique_ptr<DesktopIdle> GnomeIdleTime(std::uint32_t seconds) {
  return std::make_unique<GnomeIdle>(seconds);
}

}  // namespace glimmer
