#include "tests/support/kwin_screenshot.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace glimmer::testing {
namespace {

static_assert(std::endian::native == std::endian::little, "decodes little-endian words");

constexpr int kCallTimeoutMs = 20'000;
constexpr int kReadTimeoutMs = 20'000;

// QImage's formats that KWin hands over as 32-bit 0xAARRGGBB words in the
// machine's byte order: RGB32, ARGB32 and ARGB32_Premultiplied.
constexpr std::uint32_t kRgb32 = 4;
constexpr std::uint32_t kArgb32 = 5;
constexpr std::uint32_t kArgb32Premultiplied = 6;

struct ConnectionCloser {
  void operator()(DBusConnection* c) const {
    dbus_connection_close(c);
    dbus_connection_unref(c);
  }
};
struct MessageUnref {
  void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};

struct Error : DBusError {
  Error() { dbus_error_init(this); }
  ~Error() { dbus_error_free(this); }
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  bool set() const { return dbus_error_is_set(this); }
  std::string text() const { return std::string(name) + ": " + message; }
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The call's results: the image's numbers (u) and its type (s).
bool ReadResults(DBusMessage* reply, std::map<std::string, std::uint32_t>& numbers,
                 std::string& type) {
  DBusMessageIter top, entries;
  if (!dbus_message_iter_init(reply, &top) ||
      dbus_message_iter_get_arg_type(&top) != DBUS_TYPE_ARRAY) {
    return false;
  }
  dbus_message_iter_recurse(&top, &entries);
  while (dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY) {
    DBusMessageIter entry, variant;
    dbus_message_iter_recurse(&entries, &entry);
    const char* key = nullptr;
    dbus_message_iter_get_basic(&entry, &key);
    dbus_message_iter_next(&entry);
    dbus_message_iter_recurse(&entry, &variant);
    if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_UINT32) {
      dbus_uint32_t v = 0;
      dbus_message_iter_get_basic(&variant, &v);
      numbers[key] = v;
    } else if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_STRING) {
      const char* v = nullptr;
      dbus_message_iter_get_basic(&variant, &v);
      if (std::string(key) == "type") type = v;
    }
    dbus_message_iter_next(&entries);
  }
  return true;
}

// Everything until the writer closes its end.
bool ReadAll(int fd, std::vector<std::uint8_t>& data, std::string& error) {
  std::uint8_t chunk[1 << 16];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, kReadTimeoutMs);
    if (ready <= 0) {
      error = "KWin wrote no more of the image";
      return false;
    }
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      error = "reading the image failed";
      return false;
    }
    if (n == 0) return true;
    data.insert(data.end(), chunk, chunk + n);
  }
}

// ScreenShot2's `method`, with `screen` as its first argument unless empty.
std::optional<Image> Capture(const std::string& bus_address, const char* method,
                             const std::string& screen, std::string& error) {
  Error err;
  std::unique_ptr<DBusConnection, ConnectionCloser> bus(
      dbus_connection_open_private(bus_address.c_str(), &err));
  if (bus == nullptr || !dbus_bus_register(bus.get(), &err)) {
    error = "cannot join the bus: " + (err.set() ? err.text() : bus_address);
    return std::nullopt;
  }
  std::unique_ptr<DBusMessage, MessageUnref> call(dbus_message_new_method_call(
      "org.kde.KWin.ScreenShot2", "/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2", method));
  int fds[2];
  if (call == nullptr || pipe2(fds, O_CLOEXEC) != 0) {
    error = "out of resources";
    return std::nullopt;
  }
  Fd read_end(fds[0]);
  Fd write_end(fds[1]);
  DBusMessageIter args, options, entry, value;
  dbus_message_iter_init_append(call.get(), &args);
  if (!screen.empty()) {
    const char* name = screen.c_str();
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &name);
  }
  dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &options);
  dbus_message_iter_open_container(&options, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
  // In device pixels, not the window's logical size.
  const char* key = "native-resolution";
  const dbus_bool_t yes = TRUE;
  dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
  dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "b", &value);
  dbus_message_iter_append_basic(&value, DBUS_TYPE_BOOLEAN, &yes);
  dbus_message_iter_close_container(&entry, &value);
  dbus_message_iter_close_container(&options, &entry);
  dbus_message_iter_close_container(&args, &options);
  const int pipe_fd = write_end.get();
  dbus_message_iter_append_basic(&args, DBUS_TYPE_UNIX_FD, &pipe_fd);

  std::unique_ptr<DBusMessage, MessageUnref> reply(
      dbus_connection_send_with_reply_and_block(bus.get(), call.get(), kCallTimeoutMs, &err));
  // The message holds a copy of the write end; with ours closed too, the
  // read sees its end once KWin closes its own.
  call.reset();
  write_end.Reset();
  if (reply == nullptr) {
    error = err.set() ? err.text() : "no reply";
    return std::nullopt;
  }
  std::map<std::string, std::uint32_t> n;
  std::string type;
  if (!ReadResults(reply.get(), n, type) || type != "raw") {
    error = "unexpected results (type '" + type + "')";
    return std::nullopt;
  }
  const std::uint32_t format = n["format"];
  if (format != kRgb32 && format != kArgb32 && format != kArgb32Premultiplied) {
    error = "an image format not decoded here: QImage::Format " + std::to_string(format);
    return std::nullopt;
  }
  const std::size_t width = n["width"], height = n["height"], stride = n["stride"];
  std::vector<std::uint8_t> data;
  if (!ReadAll(read_end.get(), data, error)) return std::nullopt;
  if (width == 0 || height == 0 || stride < width * 4 || data.size() != stride * height) {
    error = "an image of " + std::to_string(data.size()) + " bytes for " + std::to_string(width) +
            " x " + std::to_string(height) + " pixels, " + std::to_string(stride) + " bytes a row";
    return std::nullopt;
  }
  Image image;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  image.pixels.resize(width * height);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint8_t* b = &data[y * stride + x * 4];
      // Little-endian words: blue, green, red, alpha.
      std::uint32_t blue = b[0], green = b[1], red = b[2];
      const std::uint32_t alpha = format == kRgb32 ? 255 : b[3];
      if (format == kArgb32) {
        // Over black, as the screen would show it.
        red = red * alpha / 255;
        green = green * alpha / 255;
        blue = blue * alpha / 255;
      }
      image.pixels[y * width + x] = red << 16 | green << 8 | blue;
    }
  }
  return image;
}

}  // namespace

std::optional<Image> CaptureKWinActiveWindow(const std::string& bus_address, std::string& error) {
  return Capture(bus_address, "CaptureActiveWindow", "", error);
}

std::optional<Image> CaptureKWinScreen(const std::string& bus_address, const std::string& screen,
                                       std::string& error) {
  return Capture(bus_address, "CaptureScreen", screen, error);
}

}  // namespace glimmer::testing
