// xwd_to_png IN.xwd OUT.png: turns a true-colour X window dump (as `xwd` writes it: 24 or 32 bits
// per pixel, Z pixmap) into a PNG, so the end-to-end test can leave a picture without ImageMagick.
#include <QImage>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::uint32_t BigEndian32(const std::vector<unsigned char>& b, std::size_t off) {
  return std::uint32_t{b[off]} << 24 | std::uint32_t{b[off + 1]} << 16 | std::uint32_t{b[off + 2]} << 8 |
         b[off + 3];
}

int Shift(std::uint32_t mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: xwd_to_png IN.xwd OUT.png\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 100) return 1;
  const auto field = [&b](int n) { return BigEndian32(b, static_cast<std::size_t>(n) * 4); };
  const std::uint32_t header_size = field(0);
  const std::uint32_t format = field(2);
  const auto width = static_cast<int>(field(4));
  const auto height = static_cast<int>(field(5));
  const std::uint32_t byte_order = field(7);  // 0: least significant byte first
  const std::uint32_t bits_per_pixel = field(11);
  const std::uint32_t bytes_per_line = field(12);
  const std::uint32_t masks[3] = {field(14), field(15), field(16)};
  const std::uint32_t ncolors = field(19);
  const std::size_t data = header_size + std::size_t{ncolors} * 12;
  if (format != 2 || (bits_per_pixel != 32 && bits_per_pixel != 24) ||
      data + std::size_t{bytes_per_line} * static_cast<std::size_t>(height) > b.size()) {
    std::fprintf(stderr, "not a true-colour Z pixmap dump\n");
    return 1;
  }
  const std::size_t bytes = bits_per_pixel / 8;
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t at = data + std::size_t{bytes_per_line} * static_cast<std::size_t>(y) +
                             bytes * static_cast<std::size_t>(x);
      std::uint32_t pixel = 0;
      for (std::size_t i = 0; i < bytes; ++i) {
        const std::uint32_t byte = b[at + i];
        pixel |= byte_order == 0 ? byte << (8 * i) : byte << (8 * (bytes - 1 - i));
      }
      int rgb[3];
      for (int c = 0; c < 3; ++c) rgb[c] = static_cast<int>((pixel & masks[c]) >> Shift(masks[c])) & 0xFF;
      image.setPixel(x, y, qRgb(rgb[0], rgb[1], rgb[2]));
    }
  }
  return image.save(argv[2], "PNG") ? 0 : 1;
}
