// The program with counters: runs like build/glimmerfeld until its window is
// closed or it gets SIGTERM, then prints what it delivered as key=value lines
// on stdout, times on the monotonic clock. Options pick the designs the
// program turned down, for side-by-side measurements:
//   --loop=frame|deadline        wake once per frame (the program) or for
//                                every timer deadline
//   --present=surface|renderer   window surface (the program) or SDL_Renderer
#include <cstdio>
#include <cstring>
#include <string>

#include "app/program.h"

namespace {

using glimmer::PresentPath;
using glimmer::RunStats;

struct Variant {
  bool per_deadline = false;
  PresentPath present = PresentPath::kWindowSurface;
};

bool Parse(int argc, char** argv, Variant& v) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--loop=frame") {
      v.per_deadline = false;
    } else if (a == "--loop=deadline") {
      v.per_deadline = true;
    } else if (a == "--present=surface") {
      v.present = PresentPath::kWindowSurface;
    } else if (a == "--present=renderer") {
      v.present = PresentPath::kRenderer;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Variant v;
  if (!Parse(argc, argv, v)) {
    std::fprintf(stderr,
                 "usage: glimmerfeld_bench [--loop=frame|deadline] [--present=surface|renderer]\n");
    return 2;
  }
  RunStats stats;
  // Every variant goes through the program's own entry point.
  const int status = glimmer::RunProgram(
      &stats, glimmer::SdlRuntimeOptions{v.present},
      v.per_deadline ? glimmer::WakeUp::kPerDeadline : glimmer::WakeUp::kPerFrame);
  std::printf("loop=%s\n", v.per_deadline ? "deadline" : "frame");
  std::printf("present=%s\n", stats.present.c_str());
  std::printf("status=%d\n", status);
  std::printf("shown_at_ns=%lld\n", static_cast<long long>(stats.shown_at));
  std::printf("first_frame_at_ns=%lld\n", static_cast<long long>(stats.first_frame_at));
  std::printf("ended_at_ns=%lld\n", static_cast<long long>(stats.ended_at));
  std::printf("frames=%llu\n", static_cast<unsigned long long>(stats.frames));
  for (const auto& t : stats.timers) {
    std::printf("timer.%s.delivered=%llu\n", t.name.c_str(),
                static_cast<unsigned long long>(t.delivered));
    std::printf("timer.%s.dropped=%llu\n", t.name.c_str(),
                static_cast<unsigned long long>(t.dropped));
  }
  std::fflush(stdout);
  return status;
}
