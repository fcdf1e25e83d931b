#include <string>
#include <vector>

#include "app/program.h"
#include "app/screensaver_args.h"

int main(int argc, char** argv) {
  // Only a screensaver host's own arguments mean anything; others are ignored.
  const glimmer::HostArgs host = glimmer::ParseHostArgs(
      argc > 0 ? argv[0] : "", std::vector<std::string>(argv + 1, argv + argc));
  return glimmer::RunProgram(nullptr, {}, {}, host);
}
