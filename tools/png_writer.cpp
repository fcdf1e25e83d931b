#include "tools/png_writer.h"

#include <png.h>

#include <cstdio>

namespace glimmer {

bool WritePng(const std::string& path, int width, int height,
              const std::vector<std::uint32_t>& pixels) {
  const auto w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
  if (width <= 0 || height <= 0 || pixels.size() != w * h) return false;
  std::vector<png_byte> rgb;
  rgb.reserve(3 * pixels.size());
  for (const std::uint32_t p : pixels) {
    rgb.insert(rgb.end(), {static_cast<png_byte>(p >> 16), static_cast<png_byte>(p >> 8),
                           static_cast<png_byte>(p)});
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  // libpng reports its errors by a long jump back to here.
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  // Unfiltered rows at zlib's best: speckles on black pack smallest so.
  png_set_filter(png, 0, PNG_FILTER_NONE);
  png_set_compression_level(png, 9);
  png_write_info(png, info);
  for (std::size_t y = 0; y < h; ++y)
    png_write_row(png, &rgb[3 * w * y]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

}  // namespace glimmer
