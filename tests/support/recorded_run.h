// Reads what glimmerfeld_bench writes when its run ends: one "key=value" line
// each, times in nanoseconds on the monotonic clock that std::chrono's
// steady_clock also reads, the outer size the handlers read last, and per
// timer its interval, delivered and dropped ticks. scripts/measure-program reads the same lines.
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
  std::int64_t first_frame_at_ns = 0;
  std::int64_t ended_at_ns = 0;
  std::uint64_t frames = 0;
  bool idle_allowed = false;  // whether the session could go idle while it ran
  double outer_width_twips = 0;
  double outer_height_twips = 0;
  std::vector<Timer> timers;  // in the window's order

  double elapsed_ms() const { return static_cast<double>(ended_at_ns - shown_at_ns) / 1e6; }
};

// nullopt unless the file holds a complete run.
inline std::optional<RecordedRun> ReadRecordedRun(const std::string& path) {
  std::ifstream in(path);
  std::map<std::string, std::string> values;
  std::vector<std::string> names;
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    values[key] = line.substr(eq + 1);
    // timer.NAME.interval_ns comes first for each timer.
    const std::string suffix = ".interval_ns";
    if (key.rfind("timer.", 0) == 0 && key.size() > suffix.size() + 6 &&
        key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(key.substr(6, key.size() - 6 - suffix.size()));
    }
  }
  auto number = [&](const std::string& key) -> std::optional<long long> {
    const auto it = values.find(key);
    if (it == values.end() || it->second.empty()) return std::nullopt;
    return std::stoll(it->second);
  };
  RecordedRun run;
  const auto shown = number("shown_at_ns"), first = number("first_frame_at_ns"),
             ended = number("ended_at_ns"), frames = number("frames");
  if (!shown || !first || !ended || !frames || names.empty()) return std::nullopt;
  run.shown_at_ns = *shown;
  run.first_frame_at_ns = *first;
  run.ended_at_ns = *ended;
  run.frames = static_cast<std::uint64_t>(*frames);
  run.idle_allowed = number("idle_allowed").value_or(0) == 1;
  for (auto [key, field] : {std::pair{"outer_width_twips", &run.outer_width_twips},
                            std::pair{"outer_height_twips", &run.outer_height_twips}}) {
    const auto it = values.find(key);
    if (it != values.end() && !it->second.empty()) *field = std::stod(it->second);
  }
  for (const auto& name : names) {
    const auto interval = number("timer." + name + ".interval_ns");
    const auto delivered = number("timer." + name + ".delivered");
    const auto dropped = number("timer." + name + ".dropped");
    if (!interval || !delivered || !dropped) return std::nullopt;
    run.timers.push_back({name, *interval, static_cast<std::uint64_t>(*delivered),
                          static_cast<std::uint64_t>(*dropped)});
  }
  return run;
}

}  // namespace glimmer::testing
