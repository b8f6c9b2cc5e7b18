#include "platform/graphics/JPEGReader.h"

#include <cairo.h>

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <jpeglib.h>

namespace platform::graphics::jpeg {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void errorExit(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }

void ignoreMessage(j_common_ptr) {}

// A decompressor over `bytes`. Every libjpeg call that may fail runs between
// setjmp and the end of the caller's scope, with no C++ objects to unwind.
struct Decompressor {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    explicit Decompressor(const std::vector<uint8_t>& bytes) {
        info.err = jpeg_std_error(&errors.base);
        errors.base.error_exit = errorExit;
        errors.base.output_message = ignoreMessage;
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    }
    ~Decompressor() { jpeg_destroy_decompress(&info); }
};

bool sizeAcceptable(unsigned w, unsigned h) {
    return w > 0 && h > 0 && w <= 32767 && h <= 32767 && int64_t(w) * h <= kMaxPixels;
}

}  // namespace

bool isJPEG(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

bool fileIsJPEG(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[3] = {};
    if (!in.read(reinterpret_cast<char*>(head), 3)) return false;
    return head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

std::optional<std::vector<uint8_t>> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<std::pair<int, int>> declaredSize(const std::vector<uint8_t>& bytes) {
    if (!isJPEG(bytes)) return std::nullopt;
    Decompressor d(bytes);
    if (setjmp(d.errors.jump)) return std::nullopt;
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return std::nullopt;
    return std::make_pair(int(d.info.image_width), int(d.info.image_height));
}

cairo_surface_t* decode(const std::vector<uint8_t>& bytes) {
    if (!isJPEG(bytes)) return nullptr;
    Decompressor d(bytes);
    cairo_surface_t* volatile surface = nullptr;
    if (setjmp(d.errors.jump)) {
        if (surface) cairo_surface_destroy(surface);
        return nullptr;
    }
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return nullptr;
    if (!sizeAcceptable(d.info.image_width, d.info.image_height)) return nullptr;
    // CMYK stays CMYK (libjpeg converts it to nothing else); everything else comes as RGB.
    const bool cmyk = d.info.jpeg_color_space == JCS_CMYK || d.info.jpeg_color_space == JCS_YCCK;
    d.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&d.info);
    const int w = int(d.info.output_width), h = int(d.info.output_height), n = d.info.output_components;
    if (!sizeAcceptable(d.info.output_width, d.info.output_height) || (n != 3 && n != 4)) return nullptr;
    surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    // One row of samples, kept in libjpeg's own pool so that an error exit frees it.
    JSAMPARRAY row =
        (*d.info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&d.info), JPOOL_IMAGE, JDIMENSION(w * n), 1);
    while (d.info.output_scanline < d.info.output_height) {
        const int y = int(d.info.output_scanline);
        if (jpeg_read_scanlines(&d.info, row, 1) != 1) break;
        auto* out = reinterpret_cast<uint32_t*>(data + size_t(y) * stride);
        const unsigned char* in = row[0];
        for (int x = 0; x < w; ++x, in += n) {
            uint32_t r, g, b;
            if (n == 3) {
                r = in[0], g = in[1], b = in[2];
            } else {
                // Adobe's CMYK files store the inks inverted.
                const uint32_t k = in[3];
                r = in[0] * k / 255, g = in[1] * k / 255, b = in[2] * k / 255;
            }
            out[x] = 0xFF000000u | (r << 16) | (g << 8) | b;
        }
    }
    jpeg_finish_decompress(&d.info);
    cairo_surface_mark_dirty(surface);
    return surface;
}

}  // namespace platform::graphics::jpeg
