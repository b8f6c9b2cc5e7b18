#include "platform/graphics/Image.h"

#include <cairo.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/graphics/JPEGReader.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"

namespace platform::graphics {

namespace {

std::atomic<double> gScreenScale{1.0};

// Never destroyed: a background queue may still load pictures while the
// process exits.
std::mutex& cacheMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::unordered_map<std::string, std::shared_ptr<Image>>& cache() {
    static auto* c = new std::unordered_map<std::string, std::shared_ptr<Image>>;
    return *c;
}

// Any image surface as ARGB32, owned by the caller.
cairo_surface_t* toARGB32(cairo_surface_t* s) {
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) return nullptr;
    if (cairo_image_surface_get_format(s) == CAIRO_FORMAT_ARGB32) return cairo_surface_reference(s);
    int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(out);
    cairo_set_source_surface(cr, s, 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    return out;
}

struct ByteReader {
    const std::vector<uint8_t>* bytes;
    size_t pos = 0;
};

cairo_status_t readBytes(void* closure, unsigned char* data, unsigned int length) {
    auto* r = static_cast<ByteReader*>(closure);
    if (r->bytes->size() - r->pos < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, r->bytes->data() + r->pos, length);
    r->pos += length;
    return CAIRO_STATUS_SUCCESS;
}

std::shared_ptr<Image> adoptLoaded(cairo_surface_t* loaded, double scale) {
    cairo_surface_t* s = toARGB32(loaded);
    cairo_surface_destroy(loaded);
    if (!s) return nullptr;
    if (cairo_image_surface_get_width(s) <= 0 || cairo_image_surface_get_height(s) <= 0) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    return std::make_shared<Image>(s, scale);
}

// A small file may declare any size, and decoding allocates what it declares:
// larger pictures are refused from their header, before any decoding.
constexpr int64_t kMaxPixelSide = 16384;
constexpr int64_t kMaxPixels = int64_t(32) << 20;  // 128 MiB as ARGB32

bool declaredSizeFits(const std::vector<uint8_t>& head, const std::string& what) {
    auto size = Image::declaredPixelSize(head);
    if (!size) return true;  // no header we know: the decoder judges it
    auto [w, h] = *size;
    if (w <= kMaxPixelSide && h <= kMaxPixelSide && int64_t(w) * h <= kMaxPixels) return true;
    foundation::log("Image " + what + " declares " + std::to_string(w) + "x" + std::to_string(h) +
                    " pixels, more than an image may have: not read");
    return false;
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

Image::Image(cairo_surface_t* s, double scale)
    : surface_(s), scale_(scale > 0 ? scale : 1.0), pixelWidth_(cairo_image_surface_get_width(s)),
      pixelHeight_(cairo_image_surface_get_height(s)) {
    cairo_surface_flush(s);
}

Image::~Image() { cairo_surface_destroy(surface_); }

double Image::screenScale() { return gScreenScale.load(); }
void Image::setScreenScale(double scale) { gScreenScale.store(scale > 0 ? scale : 1.0); }

std::shared_ptr<Image> Image::fromFile(const std::string& path, double scale) {
    if (scale <= 0) {
        std::string stem = path;
        if (auto dot = stem.rfind('.'); dot != std::string::npos && stem.find('/', dot) == std::string::npos)
            stem.resize(dot);
        scale = endsWith(stem, "@3x") ? 3 : endsWith(stem, "@2x") ? 2 : 1;
    }
    if (jpeg::fileIsJPEG(path)) {
        auto bytes = jpeg::readFile(path);
        return bytes && declaredSizeFits(*bytes, path) ? fromJPEGData(*bytes, scale) : nullptr;
    }
    std::vector<uint8_t> head(24);
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        head.resize(std::fread(head.data(), 1, head.size(), f));
        std::fclose(f);
    }
    if (!declaredSizeFits(head, path)) return nullptr;
    return adoptLoaded(cairo_image_surface_create_from_png(path.c_str()), scale);
}

std::shared_ptr<Image> Image::fromPNGData(const std::vector<uint8_t>& bytes, double scale) {
    if (!declaredSizeFits(bytes, "data")) return nullptr;
    ByteReader r{&bytes};
    return adoptLoaded(cairo_image_surface_create_from_png_stream(readBytes, &r), scale);
}

std::shared_ptr<Image> Image::fromJPEGData(const std::vector<uint8_t>& bytes, double scale) {
    if (!declaredSizeFits(bytes, "data")) return nullptr;
    cairo_surface_t* s = jpeg::decode(bytes);
    return s ? std::make_shared<Image>(s, scale) : nullptr;
}

std::shared_ptr<Image> Image::fromData(const std::vector<uint8_t>& bytes, double scale) {
    return jpeg::isJPEG(bytes) ? fromJPEGData(bytes, scale) : fromPNGData(bytes, scale);
}

std::optional<std::pair<int, int>> Image::declaredPixelSize(const std::vector<uint8_t>& bytes) {
    if (jpeg::isJPEG(bytes)) return jpeg::declaredSize(bytes);
    // The PNG signature, then IHDR's length and type, then width and height.
    static const uint8_t kHead[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    if (bytes.size() < 24 || std::memcmp(bytes.data(), kHead, sizeof kHead) != 0) return std::nullopt;
    auto be32 = [&](size_t at) {
        return (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) | (uint32_t(bytes[at + 2]) << 8) |
               bytes[at + 3];
    };
    const uint32_t w = be32(16), h = be32(20);
    if (w == 0 || h == 0 || w > 0x7FFFFFFF || h > 0x7FFFFFFF) return std::nullopt;
    return std::make_pair(int(w), int(h));
}

std::shared_ptr<Image> Image::fromSurface(cairo_surface_t* surface, double scale) {
    cairo_surface_t* s = toARGB32(surface);
    if (!s) return nullptr;
    return std::make_shared<Image>(s, scale);
}

std::shared_ptr<Image> Image::named(const std::string& name, const foundation::Bundle* bundle) {
    if (name.empty()) return nullptr;
    const foundation::Bundle& b = bundle ? *bundle : foundation::Bundle::main();
    double screen = screenScale();
    std::string stem = endsWith(name, ".png") ? name.substr(0, name.size() - 4) : name;
    std::string key = b.bundlePath() + '\n' + stem + '\n' + std::to_string(screen);
    {
        std::lock_guard lock(cacheMutex());
        if (auto it = cache().find(key); it != cache().end()) return it->second;
    }
    std::vector<std::pair<std::string, double>> candidates;
    if (screen >= 3) candidates.push_back({stem + "@3x", 3});
    if (screen >= 2) candidates.push_back({stem + "@2x", 2});
    candidates.push_back({stem, 1});
    if (screen < 2) candidates.push_back({stem + "@2x", 2});
    std::shared_ptr<Image> image;
    for (auto& [file, scale] : candidates) {
        if (auto path = b.pathForResource(file, "png")) {
            image = fromFile(*path, scale);
            if (image) break;
        }
    }
    if (image) {
        std::lock_guard lock(cacheMutex());
        auto [it, inserted] = cache().emplace(key, image);
        return it->second;  // a concurrent first lookup wins: one object per name
    }
    return nullptr;
}

void Image::clearNamedCache() {
    std::lock_guard lock(cacheMutex());
    cache().clear();
}

Image::Pixel Image::pixelAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= pixelWidth_ || y >= pixelHeight_) return {};
    const unsigned char* data = cairo_image_surface_get_data(surface_);
    int stride = cairo_image_surface_get_stride(surface_);
    uint32_t v;
    std::memcpy(&v, data + size_t(y) * stride + size_t(x) * 4, 4);
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

namespace {

void appendBigEndian(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void appendChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
    appendBigEndian(out, uint32_t(size));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    appendBigEndian(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

// The PNG of an ARGB32 surface with the pixels cairo's writer gives a reader:
// RGB when every pixel is opaque, else RGBA unpremultiplied as cairo does it.
// Rows go unfiltered through deflate's fastest level: a snapshot is written
// once per launch, where cairo's adaptive filters and default level cost more
// than composing the picture. Empty on failure.
std::vector<uint8_t> encodePNG(cairo_surface_t* surface) {
    std::vector<uint8_t> png;
    cairo_surface_flush(surface);
    const int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    if (!data || w <= 0 || h <= 0 || cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32) return png;
    auto pixel = [&](int x, int y) {
        uint32_t v;
        std::memcpy(&v, data + size_t(y) * stride + size_t(x) * 4, 4);
        return v;
    };
    bool opaque = true;
    for (int y = 0; y < h && opaque; ++y)
        for (int x = 0; x < w && opaque; ++x) opaque = (pixel(x, y) >> 24) == 0xFF;
    const int channels = opaque ? 3 : 4;

    z_stream z{};
    if (deflateInit(&z, Z_BEST_SPEED) != Z_OK) return png;
    std::vector<uint8_t> idat, row(1 + size_t(w) * channels), chunk(1 << 16);
    bool ok = true;
    for (int y = 0; y < h && ok; ++y) {
        uint8_t* out = row.data() + 1;  // filter byte 0: none
        for (int x = 0; x < w; ++x) {
            const uint32_t v = pixel(x, y);
            const uint32_t a = v >> 24, r = (v >> 16) & 0xFF, g = (v >> 8) & 0xFF, b = v & 0xFF;
            if (opaque) {
                *out++ = uint8_t(r), *out++ = uint8_t(g), *out++ = uint8_t(b);
            } else if (a == 0) {
                *out++ = 0, *out++ = 0, *out++ = 0, *out++ = 0;
            } else {
                *out++ = uint8_t((r * 255 + a / 2) / a), *out++ = uint8_t((g * 255 + a / 2) / a);
                *out++ = uint8_t((b * 255 + a / 2) / a), *out++ = uint8_t(a);
            }
        }
        z.next_in = row.data();
        z.avail_in = uInt(row.size());
        const int flush = y == h - 1 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = chunk.data();
            z.avail_out = uInt(chunk.size());
            const int rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR) ok = false;
            idat.insert(idat.end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
        } while (ok && z.avail_out == 0);
    }
    deflateEnd(&z);
    if (!ok) return png;

    static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png.assign(kSignature, kSignature + sizeof kSignature);
    std::vector<uint8_t> header;
    appendBigEndian(header, uint32_t(w));
    appendBigEndian(header, uint32_t(h));
    header.insert(header.end(), {8, uint8_t(opaque ? 2 : 6), 0, 0, 0});  // 8 bits, RGB or RGBA
    appendChunk(png, "IHDR", header.data(), header.size());
    appendChunk(png, "IDAT", idat.data(), idat.size());
    appendChunk(png, "IEND", nullptr, 0);
    return png;
}

}  // namespace

std::vector<uint8_t> Image::pngData() const { return encodePNG(surface_); }

bool Image::writePNG(const std::string& path) const {
    const std::vector<uint8_t> png = encodePNG(surface_);
    if (png.empty()) return false;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    return std::fclose(f) == 0 && written;
}

}  // namespace platform::graphics
