// glimmerfeld_stats FILE: the program itself, which on leaving also writes
// what its run delivered to FILE, one line per timer ("NAME DELIVERED
// DROPPED") and "elapsed_ns N" from showing the window to the end.
#include <cstdio>

#include "app/program.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: glimmerfeld_stats FILE\n");
    return 2;
  }
  glimmer::RunStats stats;
  const int status = glimmer::RunProgram(&stats);
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 3;
  for (const auto& t : stats.timers) {
    std::fprintf(out, "%s %llu %llu\n", t.name.c_str(),
                 static_cast<unsigned long long>(t.delivered),
                 static_cast<unsigned long long>(t.dropped));
  }
  std::fprintf(out, "elapsed_ns %lld\n", static_cast<long long>(stats.ended_at - stats.shown_at));
  return std::fclose(out) == 0 ? status : 3;
}
