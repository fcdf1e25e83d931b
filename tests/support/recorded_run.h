// Reads what glimmerfeld_bench writes when its run ends: one "key=value" line
// each, times in nanoseconds on the monotonic clock that std::chrono's
// steady_clock also reads, the outer size the handlers read last, and per
// timer its interval, delivered and dropped ticks. scripts/measure-program
// reads the same lines.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace glimmer::testing {

struct RecordedRun {
  struct Timer {
    std::string name;
    std::int64_t interval_ns = 0;
    std::uint64_t delivered = 0;
    std::uint64_t dropped = 0;
  };
  std::int64_t shown_at_ns = 0;
  std::int64_t ended_at_ns = 0;
  bool idle_allowed = false;  // whether the session could go idle while it ran
  std::uint64_t frames = 0;   // presented
  double outer_width_twips = 0;
  double outer_height_twips = 0;
  std::vector<Timer> timers;  // in the window's order
  // The desktop's layers (glimmerfeld_bench --background): how many fields
  // the frames and ticks above add up; 0 for a window.
  std::uint64_t fields = 0;

  double elapsed_ms() const { return static_cast<double>(ended_at_ns - shown_at_ns) / 1e6; }
};

// nullopt unless the file holds a complete run.
inline std::optional<RecordedRun> ReadRecordedRun(const std::string& path) {
  std::ifstream in(path);
  std::map<std::string, double> values;  // the numbers: present=... is a word
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();  // the Windows build ends its lines with CR LF
    const auto eq = line.find('=');
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (eq == std::string::npos || value.find_first_not_of("-0123456789.e+") != std::string::npos ||
        value.empty()) {
      continue;
    }
    values[key] = std::stod(value);
    // timer.NAME.interval_ns comes first for each timer.
    if (key.starts_with("timer.") && key.ends_with(".interval_ns"))
      names.push_back(key.substr(6, key.size() - 6 - std::string(".interval_ns").size()));
  }
  const auto has = [&](const std::string& key) { return values.count(key) != 0; };
  if (!has("shown_at_ns") || !has("ended_at_ns") || names.empty()) return std::nullopt;
  RecordedRun run{static_cast<std::int64_t>(values["shown_at_ns"]),
                  static_cast<std::int64_t>(values["ended_at_ns"]),
                  values["idle_allowed"] == 1,
                  static_cast<std::uint64_t>(values["frames"]),
                  values["outer_width_twips"],
                  values["outer_height_twips"],
                  {},
                  static_cast<std::uint64_t>(values["fields"])};
  for (const auto& name : names) {
    const std::string timer = "timer." + name;
    if (!has(timer + ".delivered") || !has(timer + ".dropped")) return std::nullopt;
    run.timers.push_back({name, static_cast<std::int64_t>(values[timer + ".interval_ns"]),
                          static_cast<std::uint64_t>(values[timer + ".delivered"]),
                          static_cast<std::uint64_t>(values[timer + ".dropped"])});
  }
  return run;
}

}  // namespace glimmer::testing
