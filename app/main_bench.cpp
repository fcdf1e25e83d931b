// The program with a record of its run: runs like build/glimmerfeld until its
// window is closed or it gets SIGTERM, then writes what it delivered as
// key=value lines, on stdout or into FILE, times in nanoseconds on the
// monotonic clock, and the window's outer size the handlers read last, in
// twips. The end-to-end tests and scripts/measure-program read
// these lines. Options pick the designs the program turned down, for
// side-by-side measurements:
//   --present=surface|renderer   the program's own way to the screen, or an
//                                SDL_Renderer (runtime/desktop/renderer_sink.h)
//   --background                 the desktop's layers on Wayland instead, as
//                                `glimmerfeld --background` runs them, their
//                                fields' frames and ticks added up (fields=N)
//   --out=FILE                   write the record into FILE
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "app/field_window.h"
#include "app/program.h"
#ifndef _WIN32
#include "app/desktop_layers.h"
#endif
#include "runtime/desktop/renderer_sink.h"

namespace {

using glimmer::Colour;
using glimmer::Nanos;
using glimmer::RunStats;
using glimmer::Single;

struct Variant {
  bool renderer = false;
  bool background = false;
  std::string out;
};

bool Parse(int argc, char** argv, Variant& v) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--present=surface") {
      v.renderer = false;
    } else if (a == "--present=renderer") {
      v.renderer = true;
#ifndef _WIN32
    } else if (a == "--background") {
      v.background = true;
#endif
    } else if (a.rfind("--out=", 0) == 0 && a.size() > 6) {
      v.out = a.substr(6);
    } else {
      return false;
    }
  }
  return true;
}

// A window that is never shown, only asked for the intervals its timers are
// created with, so that readers of the record need not restate them.
struct Inert {
  Single NextRandom() { return 0; }
  void Reseed() {}
  Single WindowWidth() { return 0; }
  Single WindowHeight() { return 0; }
  void PlotPoint(Single, Single, Colour) {}
  void CreateBall(Single, Single, Single) {}
  Single BallLeft() { return 0; }
  Single BallTop() { return 0; }
  Single BallWidth() { return 0; }
  void SetBallLeft(Single) {}
  void SetBallTop(Single) {}
};

Nanos IntervalOf(const std::string& timer) {
  Inert inert;
  glimmer::FieldWindow<Inert> field(inert);
  for (const auto& t : field.timers.timers())
    if (t->name == timer) return t->interval;
  return 0;
}

const char* CopyCauseName(glimmer::RuntimeCore::CopyCause cause) {
  switch (cause) {
    case glimmer::RuntimeCore::CopyCause::kNewMemory:
      return "new-memory";
    case glimmer::RuntimeCore::CopyCause::kCanvasChanged:
      return "canvas-changed";
    case glimmer::RuntimeCore::CopyCause::kLogBehind:
      return "log-behind";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  Variant v;
  if (!Parse(argc, argv, v)) {
    std::fprintf(stderr,
                 "usage: glimmerfeld_bench [--present=surface|renderer | --background] "
                 "[--out=FILE]\n");
    return 2;
  }
  RunStats stats;
  // Every variant goes through the program's own entry point.
  glimmer::SdlRuntimeOptions options;
  if (v.renderer) options.make_sink = glimmer::MakeRendererSink;
#ifndef _WIN32
  const int status = v.background ? glimmer::RunBackground(&stats)
                                  : glimmer::RunProgram(&stats, std::move(options));
#else
  const int status = glimmer::RunProgram(&stats, std::move(options));
#endif
  std::FILE* out = v.out.empty() ? stdout : std::fopen(v.out.c_str(), "w");
  if (out == nullptr) {
    std::fprintf(stderr, "glimmerfeld_bench: cannot write %s\n", v.out.c_str());
    return 3;
  }
  std::fprintf(out, "present=%s\n", stats.present.c_str());
  std::fprintf(out, "status=%d\n", status);
  std::fprintf(out, "idle_allowed=%d\n", stats.idle_allowed ? 1 : 0);
  std::fprintf(out, "shown_at_ns=%lld\n", static_cast<long long>(stats.shown_at));
  std::fprintf(out, "first_frame_at_ns=%lld\n", static_cast<long long>(stats.first_frame_at));
  std::fprintf(out, "ended_at_ns=%lld\n", static_cast<long long>(stats.ended_at));
  std::fprintf(out, "frames=%llu\n", static_cast<unsigned long long>(stats.frames));
  if (v.background)
    std::fprintf(out, "fields=%llu\n", static_cast<unsigned long long>(stats.fields));
  std::fprintf(out, "full_copies=%llu\n", static_cast<unsigned long long>(stats.full_copies));
  // When and why, as at_ns/cause, comma-separated.
  std::fprintf(out, "full_copies_at=");
  for (std::size_t i = 0; i < stats.kept_copies.size(); ++i) {
    const auto& c = stats.kept_copies[i];
    std::fprintf(out, "%s%lld/%s", i > 0 ? "," : "", static_cast<long long>(c.at),
                 CopyCauseName(c.cause));
  }
  std::fprintf(out, "\n");
  std::fprintf(out, "replayed_points=%llu\n",
               static_cast<unsigned long long>(stats.replayed_points));
  std::fprintf(out, "outer_width_twips=%.9g\n", static_cast<double>(stats.outer_width));
  std::fprintf(out, "outer_height_twips=%.9g\n", static_cast<double>(stats.outer_height));
  for (const auto& t : stats.timers) {
    std::fprintf(out, "timer.%s.interval_ns=%lld\n", t.name.c_str(),
                 static_cast<long long>(IntervalOf(t.name)));
    std::fprintf(out, "timer.%s.delivered=%llu\n", t.name.c_str(),
                 static_cast<unsigned long long>(t.delivered));
    std::fprintf(out, "timer.%s.dropped=%llu\n", t.name.c_str(),
                 static_cast<unsigned long long>(t.dropped));
  }
  const bool written = std::fflush(out) == 0 && (out == stdout || std::fclose(out) == 0);
  return written ? status : 3;
}
