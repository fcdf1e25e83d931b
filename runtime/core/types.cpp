#include "runtime/core/types.h"

#include <chrono>

namespace glimmer {

Nanos SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string RunTimeError::Message() const {
  switch (kind_) {
    case Kind::kOverflow:
      return "Run-time error: overflow in " + what_;
    case Kind::kFloatingPoint:
      return "Run-time error: floating-point fault in " + what_;
    case Kind::kPropertyAccess:
      return "Run-time error: failed to access " + what_;
    case Kind::kPlot:
      return "Run-time error: failed to plot a point: " + what_;
  }
  return "Run-time error: " + what_;
}

}  // namespace glimmer
