#include "runtime/web/web_runtime.h"

#include <emscripten.h>
#include <emscripten/eventloop.h>
#include <emscripten/html5.h>

#include <algorithm>
#include <cstddef>

namespace glimmer {
namespace {

// The page's side, in JavaScript; clang-format would take it for C++. The
// page's script provides Module.glimmerHost: the canvas (the page's own, or an
// OffscreenCanvas in a worker), the page's scale and visibility, and the ways
// back to the page (resize, showError).
// clang-format off

// Takes a 2D context of the host's canvas; false without one. The context has
// no alpha: the page under it never shows through.
EM_JS(int, glimmer_page_open, (), {
  var host = Module['glimmerHost'];
  var context = host['canvas'].getContext('2d', {alpha : false});
  if (!context) return 0;
  Module['glimmerPage'] = {context : context, image : null, buffer : null, at : 0};
  return 1;
});

EM_JS(double, glimmer_page_scale, (), { return Module['glimmerHost']['scale']; });
EM_JS(int, glimmer_page_hidden, (), { return Module['glimmerHost']['hidden'] ? 1 : 0; });

// From now on the host tells the runtime when the page's facts change.
EM_JS(void, glimmer_page_listen, (void* runtime), {
  Module['glimmerHost']['changed'] = function() { Module['_glimmer_page_changed'](runtime); };
});

// The backing store in device pixels, the size on the page in CSS pixels.
EM_JS(void, glimmer_page_size, (int css_width, int css_height, int width, int height), {
  var host = Module['glimmerHost'];
  host['canvas'].width = width;
  host['canvas'].height = height;
  host['resize'](css_width, css_height);
  Module['glimmerPage'].image = null;
});

// Puts the frame, read in place from the program's memory: the ImageData is a
// view of it, made again only when the frame moved or a memory growth
// replaced the buffer.
EM_JS(void, glimmer_page_put, (const void* pixels, int width, int height), {
  var page = Module['glimmerPage'];
  if (page.image === null || page.buffer !== HEAPU8.buffer || page.at !== pixels) {
    page.buffer = HEAPU8.buffer;
    page.at = pixels;
    page.image = new ImageData(new Uint8ClampedArray(HEAPU8.buffer, pixels, width * height * 4),
                               width, height);
  }
  page.context.putImageData(page.image, 0, 0);
});

// One line over the top of the canvas, where the user looks; the page draws it.
EM_JS(void, glimmer_page_error, (const char* message), {
  Module['glimmerHost']['showError'](UTF8ToString(message));
});

// clang-format on

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Frames timed before the loop starts.
constexpr std::size_t kMeasuredFrames = 7;

}  // namespace

struct WebCallbacks {
  static EM_BOOL OnAnimationFrame(double time, void* data) {
    auto& rt = *static_cast<WebRuntime*>(data);
    if (rt.stopped_ || rt.hidden_) {
      rt.frames_running_ = false;
      return EM_FALSE;
    }
    if (!rt.step_) {
      rt.frame_times_.push_back(time);
      if (rt.frame_times_.size() < kMeasuredFrames) return EM_TRUE;
      std::vector<double> intervals;
      for (std::size_t i = 1; i < rt.frame_times_.size(); ++i)
        intervals.push_back(rt.frame_times_[i] - rt.frame_times_[i - 1]);
      const double ms = Median(intervals);
      // The loop presents only when a frame is due on its grid, and animation
      // frames come a little early or late: a grid of three quarters of the
      // browser's interval finds every one of them due.
      if (ms > 1.0 && ms < 1000.0) rt.frame_period_ = static_cast<Nanos>(ms * 0.75e6);
      rt.ReadyNow();
      if (!rt.step_ || rt.hidden_) {
        rt.frames_running_ = false;
        return EM_FALSE;
      }
    }
    if (!rt.RunStep()) {
      rt.frames_running_ = false;
      return EM_FALSE;
    }
    return EM_TRUE;
  }

  static void OnHiddenTimer(void* data) {
    auto& rt = *static_cast<WebRuntime*>(data);
    rt.hidden_wake_pending_ = false;
    if (!rt.hidden_ || rt.stopped_) return;
    if (rt.RunStep()) rt.ScheduleHiddenWake();
  }
};

void PageCanvasSink::Resize(int width, int height) {
  width_ = width;
  height_ = height;
  frame_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  fresh_ = true;
}

std::optional<FrameSink::Buffer> PageCanvasSink::Acquire() {
  if (frame_.empty()) return std::nullopt;
  Buffer b;
  b.pixels = frame_.data();
  b.width = width_;
  b.height = height_;
  b.pitch = width_;
  // ImageData's bytes are red, green, blue, alpha in memory order.
  b.layout = PixelLayout{0, 8, 16, 0xff000000u};
  b.fresh = fresh_;
  fresh_ = false;
  return b;
}

void PageCanvasSink::Submit(const std::vector<Rect>&) {
  glimmer_page_put(frame_.data(), width_, height_);
}

void WebRuntime::Open(const WindowSettings& settings) {
  settings_ = settings;
  SetAssumedFrame(settings.frame_width_twips, settings.frame_height_twips);
  if (glimmer_page_open() == 0) throw StartupError("this browser gives the page no 2D canvas");
  hidden_ = glimmer_page_hidden() != 0;
  FitToScale(glimmer_page_scale());
  glimmer_page_listen(this);
}

void WebRuntime::FitToScale(double scale) {
  SetScale(scale);
  const TwipMapping at96(1.0);
  // The client area keeps its size in twips, so the CSS size never changes;
  // its device pixels are counted afresh rather than scaled, which could
  // round differently.
  const int width = mapping().PixelLength(settings_.client_width_twips);
  const int height = mapping().PixelLength(settings_.client_height_twips);
  sink_.Resize(width, height);
  SetClientSize(width, height);
  glimmer_page_size(at96.PixelLength(settings_.client_width_twips),
                    at96.PixelLength(settings_.client_height_twips), width, height);
  // The new size cleared the canvas: put the field back before the browser
  // can show it blank. (At open there is no ball yet: the program presents
  // once its window exists.)
  if (BallWidth() > 0) Present();
}

void WebRuntime::PageChanged() {
  const double scale = glimmer_page_scale();
  if (scale != mapping().scale()) FitToScale(scale);
  const bool hidden = glimmer_page_hidden() != 0;
  if (hidden == hidden_) return;
  hidden_ = hidden;
  if (hidden_) {
    if (step_) ScheduleHiddenWake();
  } else {
    StartAnimationFrames();
  }
}

void WebRuntime::Present() {
  RuntimeCore::Present(sink_);
}

void WebRuntime::ShowError(const std::string& message) {
  glimmer_page_error(message.c_str());
}

void WebRuntime::WhenReady(std::function<void()> ready) {
  ready_ = std::move(ready);
  if (hidden_) {
    // No animation frames to time: assume 60 Hz.
    ReadyNow();
    return;
  }
  StartAnimationFrames();
}

void WebRuntime::ReadyNow() {
  auto ready = std::move(ready_);
  ready_ = nullptr;
  if (ready) ready();
}

void WebRuntime::Drive(Step step) {
  step_ = std::move(step);
  if (hidden_) {
    ScheduleHiddenWake();
  } else {
    StartAnimationFrames();
  }
}

bool WebRuntime::RunStep() {
  if (stopped_ || !step_) return false;
  wake_at_ = step_();
  if (!wake_at_) stopped_ = true;
  return !stopped_;
}

void WebRuntime::StartAnimationFrames() {
  if (frames_running_ || stopped_) return;
  frames_running_ = true;
  emscripten_request_animation_frame_loop(WebCallbacks::OnAnimationFrame, this);
}

void WebRuntime::ScheduleHiddenWake() {
  if (hidden_wake_pending_ || stopped_) return;
  // Browsers stretch this to a second or more in a hidden page; the loop
  // makes up what it can under the lag rule.
  const double delay_ms =
      wake_at_ ? std::max(0.0, static_cast<double>(*wake_at_ - Now()) / 1e6) : 0.0;
  hidden_wake_pending_ = true;
  emscripten_set_timeout(WebCallbacks::OnHiddenTimer, delay_ms, this);
}

}  // namespace glimmer

// The page's script calls this when its scale or visibility changed.
extern "C" EMSCRIPTEN_KEEPALIVE void glimmer_page_changed(void* runtime) {
  static_cast<glimmer::WebRuntime*>(runtime)->PageChanged();
}
