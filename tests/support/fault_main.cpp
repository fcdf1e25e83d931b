// glimmerfeld_fault: the program, started with a phase so large that its
// first ball step overflows a Single. It shows that run-time error as the
// program would and exits once the user has dismissed it.
#include "app/program.h"

int main() {
  return glimmer::RunProgram(
      nullptr, {}, [](glimmer::FieldWindow<glimmer::SdlRuntime>& form) { form.phase = 1e300; });
}
