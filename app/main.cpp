#include "app/program.h"

int main() {
  return glimmer::RunProgram();
}
