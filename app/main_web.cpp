#include "app/web_program.h"

int main() {
  // The browser keeps running the program after main returns.
  glimmer::StartWebProgram();
  return 0;
}
