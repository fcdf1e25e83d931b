// PNG files through libpng, for the icon generator and for the tests'
// captures of a window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace glimmer {

// Writes `width` x `height` pixels of 0x00RRGGBB, row by row, as an 8-bit
// RGB PNG; false on failure. The same pixels give the same bytes with the
// same libpng and zlib.
bool WritePng(const std::string& path, int width, int height,
              const std::vector<std::uint32_t>& pixels);

}  // namespace glimmer
