// Micro-benchmarks of the per-tick and per-frame work. The Present benchmarks
// open a real window and are skipped when DISPLAY is not set; run them under
// a private Xvfb (scripts/with-private-xvfb).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "animation/dot_spray.h"
#include "app/field_window.h"
#include "app/program.h"
#include "app/timers.h"
#include "runtime/core/ball_overlay.h"
#include "runtime/core/canvas.h"
#include "runtime/core/pcg32.h"
#include "runtime/core/runtime_core.h"
#include "runtime/desktop/renderer_sink.h"
#include "runtime/desktop/sdl_runtime.h"

namespace glimmer {
namespace {

// The program's window at 96 dpi: 992 x 741 client pixels.
constexpr int kClientW = 992;
constexpr int kClientH = 741;

// The handler side of SdlRuntime without a window: the runtimes' own core and
// the outer size read for each point, its canvas writing through as the
// program's does after a frame through a sink of `buffers`: 0, no frame yet
// (the canvas alone); 1, a window surface such as X11's (the buffer shown is
// the mirror, nothing logged); 2, a Wayland presenter's pair (the mirror, and
// every plot logged for the other buffer).
class SprayRuntime : public RuntimeCore {
 public:
  explicit SprayRuntime(int buffers) : surface_(buffers) {
    SetAssumedFrame(WindowDescription::kFrameWidth, WindowDescription::kFrameHeight);
    SetClientSize(kClientW, kClientH);
    if (buffers > 0) Present(surface_);
    Seed(2024, 7);
  }
  void Reseed() { Seed(12345, 678); }

 private:
  // Window surfaces in memory, never shown.
  class MemorySink final : public FrameSink {
   public:
    explicit MemorySink(int buffers) : buffers_(buffers) {}
    int Buffers() const override { return buffers_; }
    std::optional<Buffer> Acquire() override {
      Buffer b;
      b.pixels = pixels_.data();
      b.width = kClientW;
      b.height = kClientH;
      b.pitch = kClientW;
      b.fresh = true;
      return b;
    }
    void Submit(const std::vector<Rect>&) override {}
    std::string Describe() const override { return "memory"; }

   private:
    int buffers_;
    std::vector<std::uint32_t> pixels_ =
        std::vector<std::uint32_t>(static_cast<std::size_t>(kClientW) * kClientH, 0);
  };
  MemorySink surface_;
};

void SetPointCounters(benchmark::State& state, int points_per_iteration) {
  const auto points = static_cast<double>(state.iterations()) * points_per_iteration;
  state.SetItemsProcessed(static_cast<std::int64_t>(points));
  // Seconds per point, shown with an SI prefix (e.g. 7.1n = 7.1 ns).
  state.counters["per_point"] =
      benchmark::Counter(points, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One spray tick: 403 points, 2015 random numbers, 806 size reads.
void BM_DotSpray_Tick(benchmark::State& state) {
  SprayRuntime rt(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    SprayDots(rt);
  }
  benchmark::ClobberMemory();
  SetPointCounters(state, kDotsPerTick);
}
BENCHMARK(BM_DotSpray_Tick)->ArgName("buffers")->Arg(1)->Arg(2)->Arg(0);

// The spray as the program meets it: a frame's worth of ticks (17) in a burst
// after 16 ms in which the X server and everything else on the machine had the
// caches. Writing 64 MB between bursts, untimed, stands in for that.
void BM_DotSpray_FrameColdCache(benchmark::State& state) {
  SprayRuntime rt(static_cast<int>(state.range(0)));
  std::vector<std::uint64_t> other(8u << 20, 1);
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& v : other)
      v += 1;
    benchmark::ClobberMemory();
    state.ResumeTiming();
    for (int i = 0; i < 17; ++i)
      SprayDots(rt);
  }
  SetPointCounters(state, 17 * kDotsPerTick);
}
BENCHMARK(BM_DotSpray_FrameColdCache)->ArgName("buffers")->Arg(1)->Arg(2)->Arg(0);

// The floor under the spray: the five random numbers of one point.
void BM_Pcg32_FiveSingles(benchmark::State& state) {
  Pcg32 rng(99, 1);
  for (auto _ : state) {
    for (int i = 0; i < 5; ++i)
      benchmark::DoNotOptimize(rng.NextSingle());
  }
  SetPointCounters(state, 1);
}
BENCHMARK(BM_Pcg32_FiveSingles);

// The scheduler alone: four timers as the window has them, trivial handlers.
// Advancing one frame (16.7 ms) runs about 52 ticks; one millisecond, 3.1
// ticks, as a loop waking per deadline would.
void BM_TimerService(benchmark::State& state) {
  TimerService timers;
  std::uint64_t calls = 0;
  timers.Add("phase", 10 * kMillisecond, [&] { ++calls; });
  timers.Add("wrap", kMillisecond, [&] { ++calls; });
  timers.Add("drift", kMillisecond, [&] { ++calls; });
  timers.Add("spray", kMillisecond, [&] { ++calls; });
  const Nanos step = state.range(0);
  Nanos now = 0;
  timers.Start(now);
  for (auto _ : state) {
    now += step;
    timers.RunDue(now, [] { return false; });
  }
  benchmark::DoNotOptimize(calls);
  state.counters["per_tick"] = benchmark::Counter(
      static_cast<double>(calls), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["ticks_per_call"] =
      static_cast<double>(calls) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TimerService)->ArgName("advance_ns")->Arg(16'666'667)->Arg(1'000'000);

// The spray's services over a bare canvas at the window's start size; the
// ball stays where it is.
struct CanvasSpray {
  Canvas& canvas;
  Pcg32 rng{42, 54};
  Single NextRandom() { return rng.NextSingle(); }
  void Reseed() {}
  Single WindowWidth() { return 15000.0f; }  // the outer size, frame included
  Single WindowHeight() { return 11520.0f; }
  void PlotPoint(Single x, Single y, Colour colour) { canvas.Plot(x, y, colour); }
  void CreateBall(Single, Single, Single) {}
  Single BallLeft() { return 0; }
  Single BallTop() { return 0; }
  Single BallWidth() { return 0; }
  void SetBallLeft(Single) {}
  void SetBallTop(Single) {}
};

// A canvas that has seen a few seconds of spray, for the frame benchmarks.
Canvas SprayedCanvas(int ticks) {
  Canvas canvas;
  canvas.SetVisibleSize(kClientW, kClientH);
  CanvasSpray spray{canvas};
  for (int i = 0; i < ticks; ++i)
    SprayDots(spray);
  return canvas;
}

// The ball at 96 dpi: 33 pixels across, one pixel thick.
BallOverlay Ball() {
  BallOverlay overlay;
  overlay.SetShape(33, 1);
  return overlay;
}

// The CPU side of one frame as the program does it: put back the pixels under
// the old outline, draw the new one.
void BM_Frame_RestoreOutline(benchmark::State& state) {
  const Canvas canvas = SprayedCanvas(3000);
  std::vector<std::uint32_t> surface(static_cast<std::size_t>(kClientW) * kClientH);
  canvas.CopyVisibleTo(surface.data(), kClientW);
  BallOverlay ball = Ball();
  std::int64_t pos = 0;
  for (auto _ : state) {
    pos = (pos + 3) % 700;
    ball.Draw(canvas, surface.data(), kClientW, pos, pos, 0xffffffu);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Frame_RestoreOutline);

// The turned-down alternative: copy the whole canvas into the surface every
// frame, then draw the outline.
void BM_Frame_FullCopy(benchmark::State& state) {
  const Canvas canvas = SprayedCanvas(3000);
  std::vector<std::uint32_t> surface(static_cast<std::size_t>(kClientW) * kClientH);
  BallOverlay ball = Ball();
  std::int64_t pos = 0;
  for (auto _ : state) {
    pos = (pos + 3) % 700;
    canvas.CopyVisibleTo(surface.data(), kClientW);
    ball.Forget();
    ball.Draw(canvas, surface.data(), kClientW, pos, pos, 0xffffffu);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Frame_FullCopy);

bool HaveDisplay() {
  const char* d = std::getenv("DISPLAY");
  return d != nullptr && d[0] != '\0';
}

// A real window per present path, shown and presented once, as the program
// has it. Each is opened once and kept for the life of the process, so that
// SDL starts once as in the program instead of once per benchmark run.
enum class Path { kProgram, kRenderer };

SdlRuntime* Window(Path path, benchmark::State& state) {
  static SdlRuntime* windows[2] = {nullptr, nullptr};
  static std::string errors[2];
  const int i = path == Path::kProgram ? 0 : 1;
  if (!HaveDisplay()) {
    state.SkipWithError("DISPLAY is not set; run under scripts/with-private-xvfb");
    return nullptr;
  }
  if (windows[i] == nullptr && errors[i].empty()) {
    SdlRuntimeOptions options;
    if (path == Path::kRenderer) options.make_sink = MakeRendererSink;
    auto* rt = new SdlRuntime(options);  // never closed: the process ends first
    try {
      rt->Open(MainWindowSettings());
      rt->CreateBall(WindowDescription::kBallLeft, WindowDescription::kBallTop,
                     WindowDescription::kBallSize);
      rt->Reseed();
      rt->Show();
      rt->Present();
      windows[i] = rt;
    } catch (const StartupError& e) {
      errors[i] = e.what();
    }
  }
  if (windows[i] == nullptr) state.SkipWithError(errors[i].c_str());
  return windows[i];
}

// The spray against the real runtime: the canvas plus the window's own
// surface as the mirror.
void BM_DotSpray_Tick_SdlRuntime(benchmark::State& state) {
  SdlRuntime* rt = Window(Path::kProgram, state);
  if (rt == nullptr) return;
  for (auto _ : state) {
    SprayDots(*rt);
  }
  SetPointCounters(state, kDotsPerTick);
}
BENCHMARK(BM_DotSpray_Tick_SdlRuntime);

// The spray as the program meets it in the real window: a frame's 17 ticks,
// timed, between presents, untimed, through which the X server reads the
// shared-memory surface that the points are written into.
void BM_DotSpray_FrameBetweenPresents(benchmark::State& state) {
  SdlRuntime* rt = Window(Path::kProgram, state);
  if (rt == nullptr) return;
  for (auto _ : state) {
    for (int i = 0; i < 17; ++i)
      SprayDots(*rt);
    state.PauseTiming();
    rt->WaitUntil(rt->Now());
    rt->Present();
    state.ResumeTiming();
  }
  SetPointCounters(state, 17 * kDotsPerTick);
}
BENCHMARK(BM_DotSpray_FrameBetweenPresents);

// One presented frame end to end: outline restore and draw, then the window
// surface update (shared-memory put and sync on X11) or the renderer's texture
// upload and present. Each frame follows 17 ticks of spray, so the frame
// carries as many fresh points as in the program; the spray is timed out.
void BM_Present(benchmark::State& state) {
  const auto path = state.range(0) == 0 ? Path::kProgram : Path::kRenderer;
  SdlRuntime* rt = Window(path, state);
  if (rt == nullptr) return;
  state.SetLabel(rt->PresentDescription());
  Single pos = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 17; ++i)
      SprayDots(*rt);
    pos = pos >= 10000.0f ? 0.0f : pos + 45.0f;
    rt->SetBallLeft(pos);
    rt->SetBallTop(pos);
    rt->WaitUntil(rt->Now());  // handle pending window events, as the loop does
    state.ResumeTiming();
    rt->Present();
  }
}
BENCHMARK(BM_Present)
    ->ArgName("renderer")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace glimmer

BENCHMARK_MAIN();
