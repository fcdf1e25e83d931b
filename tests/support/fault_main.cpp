// glimmerfeld_fault: the program, started with phases so large that its
// first ball step overflows a Single. It shows that run-time error as the
// program would and exits once the user has dismissed it.
#include "app/program.h"

int main() {
  return glimmer::RunProgram(nullptr, {}, [](glimmer::frmRand<glimmer::SdlRuntime>& form) {
    form.dblA = form.dblB = 1e300;
  });
}
