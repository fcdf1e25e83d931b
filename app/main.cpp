#include <cstdio>
#include <string>
#include <vector>

#include "app/program.h"
#include "app/screensaver_args.h"

int main(int argc, char** argv) {
  const glimmer::HostArgs args = glimmer::ParseHostArgs(
      argc > 0 ? argv[0] : "", std::vector<std::string>(argv + 1, argv + argc));
  switch (args.action) {
    case glimmer::HostArgs::Action::kHelp:
      std::fputs(glimmer::Usage().c_str(), stdout);
      return 0;
    case glimmer::HostArgs::Action::kVersion:
      std::printf("glimmerfeld %s\n", GLIMMER_VERSION);
      return 0;
    case glimmer::HostArgs::Action::kRefuse:
      glimmer::PrintError(args.error);
      return 2;
    case glimmer::HostArgs::Action::kBackground:
      return glimmer::RunOnBackground();
    case glimmer::HostArgs::Action::kScreensaver:
      return glimmer::RunScreensaver();
    case glimmer::HostArgs::Action::kResident:
      return glimmer::RunScreensaverAfter(args.idle_seconds);
    case glimmer::HostArgs::Action::kRun:
      break;
  }
  return glimmer::RunProgram(nullptr, {}, {}, args);
}
