#include "platform/posix/Banner.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "platform/Errors.h"

namespace Velmora {

namespace {

struct TJpegErrorManager {
    jpeg_error_mgr Public;
    std::jmp_buf Escape;
    char Message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr info)
{
    auto* manager = reinterpret_cast<TJpegErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->Message);
    std::longjmp(manager->Escape, 1);
}

void JpegSilence(j_common_ptr, int) {}

// Kept free of objects with destructors between setjmp and any longjmp back to it:
// the image lives in the caller's frame, the decoder in this plain struct.
bool DecodeInto(const unsigned char* data, std::size_t size, TRgbImage& image, char* message)
{
    jpeg_decompress_struct decoder;
    TJpegErrorManager errors;
    decoder.err = jpeg_std_error(&errors.Public);
    errors.Public.error_exit = JpegErrorExit;
    errors.Public.emit_message = JpegSilence;
    errors.Message[0] = '\0';
    if (setjmp(errors.Escape)) {
        std::snprintf(message, JMSG_LENGTH_MAX, "%s", errors.Message);
        jpeg_destroy_decompress(&decoder);
        return false;
    }
    jpeg_create_decompress(&decoder);
    jpeg_mem_src(&decoder, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
    jpeg_read_header(&decoder, TRUE);
    decoder.out_color_space = JCS_RGB;
    jpeg_start_decompress(&decoder);
    image.Width = static_cast<int>(decoder.output_width);
    image.Height = static_cast<int>(decoder.output_height);
    image.Pixels.assign(static_cast<std::size_t>(image.Width) * image.Height * 3, 0);
    while (decoder.output_scanline < decoder.output_height) {
        JSAMPROW row = image.Pixels.data() + static_cast<std::size_t>(decoder.output_scanline) * image.Width * 3;
        jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    return true;
}

void AppendColour(std::string& out, const char* kind, const unsigned char* rgb)
{
    out += "\033[";
    out += kind;
    out += ";2;";
    out += std::to_string(rgb[0]);
    out += ';';
    out += std::to_string(rgb[1]);
    out += ';';
    out += std::to_string(rgb[2]);
    out += 'm';
}

}  // namespace

TRgbImage DecodeJpeg(const unsigned char* data, std::size_t size)
{
    if (!data || size == 0) throw EVelmoraError("图片数据为空");
    TRgbImage image;
    char message[JMSG_LENGTH_MAX] = {0};
    if (!DecodeInto(data, size, image, message)) {
        throw EVelmoraError(std::string("无法解码JPEG图片：") + message);
    }
    return image;
}

TRgbImage ScaleImage(const TRgbImage& image, int width, int height)
{
    TRgbImage scaled;
    scaled.Width = std::max(width, 1);
    scaled.Height = std::max(height, 1);
    scaled.Pixels.assign(static_cast<std::size_t>(scaled.Width) * scaled.Height * 3, 0);
    if (image.Width <= 0 || image.Height <= 0) return scaled;
    for (int y = 0; y < scaled.Height; ++y) {
        // Source rows [y0, y1) cover this target row; at least one row each.
        const int y0 = static_cast<int>(static_cast<long long>(y) * image.Height / scaled.Height);
        const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<long long>(y + 1) * image.Height / scaled.Height));
        for (int x = 0; x < scaled.Width; ++x) {
            const int x0 = static_cast<int>(static_cast<long long>(x) * image.Width / scaled.Width);
            const int x1 = std::max(x0 + 1, static_cast<int>(static_cast<long long>(x + 1) * image.Width / scaled.Width));
            unsigned long sum[3] = {0, 0, 0};
            for (int sy = y0; sy < y1; ++sy) {
                const unsigned char* row = image.Pixels.data() + static_cast<std::size_t>(sy) * image.Width * 3;
                for (int sx = x0; sx < x1; ++sx) {
                    for (int c = 0; c < 3; ++c) sum[c] += row[sx * 3 + c];
                }
            }
            const unsigned long count = static_cast<unsigned long>(y1 - y0) * static_cast<unsigned long>(x1 - x0);
            unsigned char* out = scaled.Pixels.data() + (static_cast<std::size_t>(y) * scaled.Width + x) * 3;
            for (int c = 0; c < 3; ++c) out[c] = static_cast<unsigned char>((sum[c] + count / 2) / count);
        }
    }
    return scaled;
}

std::string RenderHalfBlocks(const TRgbImage& image)
{
    std::string out;
    for (int y = 0; y < image.Height; y += 2) {
        const int lower = std::min(y + 1, image.Height - 1);
        const unsigned char* top = image.Pixels.data() + static_cast<std::size_t>(y) * image.Width * 3;
        const unsigned char* bottom = image.Pixels.data() + static_cast<std::size_t>(lower) * image.Width * 3;
        const unsigned char* lastTop = nullptr;
        const unsigned char* lastBottom = nullptr;
        for (int x = 0; x < image.Width; ++x) {
            const unsigned char* fg = top + x * 3;
            const unsigned char* bg = bottom + x * 3;
            // Neighbouring cells of one colour share their escape sequence.
            if (!lastTop || !std::equal(fg, fg + 3, lastTop)) AppendColour(out, "38", fg);
            if (!lastBottom || !std::equal(bg, bg + 3, lastBottom)) AppendColour(out, "48", bg);
            lastTop = fg;
            lastBottom = bg;
            out += "\u2580";
        }
        out += "\033[0m\n";
    }
    return out;
}

std::string RenderBanner(int columns)
{
    try {
        static const TRgbImage picture = DecodeJpeg(BannerJpegData(), BannerJpegSize());
        const int width = std::clamp(columns, 1, picture.Width);
        // A character cell is about twice as tall as wide: two pixel rows per cell keep the proportions.
        int height = static_cast<int>((static_cast<long long>(picture.Height) * width + picture.Width / 2) / picture.Width);
        height = std::max(2, height + (height % 2));
        return RenderHalfBlocks(ScaleImage(picture, width, height));
    } catch (const std::exception&) {
        // The banner only decorates; without it the dialog says all it has to say.
        return std::string();
    }
}

}  // namespace Velmora
