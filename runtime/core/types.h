// The program's value types, its run-time error, and the pure operations on
// them (sine, colour composition, conversions, the floating-point check).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

namespace glimmer {

using Single = float;
using Colour = std::uint32_t;  // red + 256 * green + 65536 * blue
using Int16 = std::int16_t;    // a colour channel before composition
using Nanos = std::int64_t;    // time on the monotonic clock

// The monotonic clock now.
Nanos SteadyNow();

// Twips in one device pixel at 96 dots per inch.
inline constexpr double kTwipsPerPixelAt96Dpi = 15.0;

// A failure inside a handler. It is never caught by a handler: it unwinds to
// the event loop, which reports it and ends the program.
class RunTimeError {
 public:
  enum class Kind { kOverflow, kFloatingPoint, kPropertyAccess, kPlot };

  RunTimeError(Kind kind, std::string what) : kind_(kind), what_(std::move(what)) {}

  Kind kind() const { return kind_; }
  const std::string& what() const { return what_; }
  // One line naming the error, as shown to the user.
  std::string Message() const;

 private:
  Kind kind_;
  std::string what_;
};

// The floating-point status test: an invalid operation gives NaN, a division
// by zero or an overflow gives an infinity. Every operand reaching a checked
// step is finite, so testing the result is exact and costs one compare.
[[nodiscard]] inline double CheckFloat(double v, const char* step) {
  if (!std::isfinite(v)) [[unlikely]] {
    throw RunTimeError(RunTimeError::Kind::kFloatingPoint, step);
  }
  return v;
}

// Rounds a Double to the nearest Single (ties to even, the hardware default)
// and checks that it still fits.
[[nodiscard]] inline Single ToSingle(double v, const char* step) {
  const auto s = static_cast<Single>(CheckFloat(v, step));
  if (!std::isfinite(s)) [[unlikely]] {
    throw RunTimeError(RunTimeError::Kind::kFloatingPoint, step);
  }
  return s;
}

// Rounds to the nearest whole number, halves to the even neighbour, and
// requires the result to fit a 16-bit integer.
//
// Adding and taking away 1.5 * 2^52 leaves no fraction bits, rounded in the
// default nearest-even mode: std::nearbyint without its library call, which
// took about a tenth of the dot spray. The result is exact for |v| < 2^51;
// larger values stay far outside 16 bits, and infinities and NaN pass
// through, so the range check below still catches everything it should.
[[nodiscard]] inline Int16 ToInt16(double v) {
  constexpr double kRoundingShift = 0x1.8p52;
  const double r = (v + kRoundingShift) - kRoundingShift;
  if (!(r >= -32768.0 && r <= 32767.0)) [[unlikely]] {
    throw RunTimeError(RunTimeError::Kind::kOverflow, "conversion to a 16-bit integer");
  }
  return static_cast<Int16>(r);
}

// Channels above 255 count as 255. Negative channels never occur in this
// program; they count as 0 rather than leaking into a neighbouring channel.
[[nodiscard]] inline Colour ComposeColour(Int16 red, Int16 green, Int16 blue) {
  auto clamp = [](Int16 c) -> Colour {
    return static_cast<Colour>(c < 0 ? 0 : (c > 255 ? 255 : c));
  };
  return clamp(red) + 256u * clamp(green) + 65536u * clamp(blue);
}

[[nodiscard]] inline double Sine(double radians) {
  return std::sin(radians);
}

}  // namespace glimmer
