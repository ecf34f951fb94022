#pragma once
// The progress dialog's banner in a colour terminal: the JPEG shipped inside the
// library, decoded with libjpeg, scaled and drawn with half-block characters, two
// pixels (upper and lower) per character cell in 24-bit colour.

#include <cstddef>
#include <string>
#include <vector>

namespace Velmora {

struct TRgbImage {
    int Width = 0;
    int Height = 0;
    std::vector<unsigned char> Pixels;  // Width * Height * 3, rows top to bottom
};

// The banner JPEG, embedded at build time.
const unsigned char* BannerJpegData();
std::size_t BannerJpegSize();

// Raises EVelmoraError when the bytes are not a JPEG libjpeg can read.
TRgbImage DecodeJpeg(const unsigned char* data, std::size_t size);
// Area-averaging resize; width and height at least 1.
TRgbImage ScaleImage(const TRgbImage& image, int width, int height);
// One text line per two pixel rows (an odd last row is paired with itself), each
// line ending with a colour reset and a newline.
std::string RenderHalfBlocks(const TRgbImage& image);
// The banner scaled to columns character cells (never wider than the picture),
// ready to print; empty when it cannot be drawn.
std::string RenderBanner(int columns);

}  // namespace Velmora
