// PCG32 (XSH RR variant): 64-bit state, 32-bit output. Fast enough for the two
// million numbers a second the dot spray draws, and statistically sound.
#pragma once

#include <cstdint>

namespace glimmer {

class Pcg32 {
 public:
  Pcg32() { Seed(0x853c49e6748fea9bULL, 0xda3e39cb94b95bdbULL); }
  Pcg32(std::uint64_t seed, std::uint64_t stream) { Seed(seed, stream); }

  void Seed(std::uint64_t seed, std::uint64_t stream) {
    state_ = 0;
    inc_ = (stream << 1u) | 1u;
    Next();
    state_ += seed;
    Next();
  }

  std::uint32_t Next() {
    const std::uint64_t old = state_;
    state_ = old * 6364136223846793005ULL + inc_;
    const auto xorshifted = static_cast<std::uint32_t>(((old >> 18u) ^ old) >> 27u);
    const auto rot = static_cast<std::uint32_t>(old >> 59u);
    return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
  }

  // A Single in [0, 1): the top 24 bits scaled by 2^-24, exact in a float and
  // never 1.0.
  float NextSingle() { return static_cast<float>(Next() >> 8) * 0x1.0p-24f; }

 private:
  std::uint64_t state_ = 0;
  std::uint64_t inc_ = 0;
};

}  // namespace glimmer
