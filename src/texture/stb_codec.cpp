// The only translation unit that compiles stb_image and stb_image_write.
// Both are built static (no symbol leaves this file), without their stdio
// helpers, and the decoder with just the loaders this module accepts:
// PNG, BMP, GIF, Softimage PIC and JPEG, tried in that order. PSD, TGA,
// HDR and PNM data are therefore refused.
#include "stb_codec.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_GIF
#define STBI_ONLY_PIC
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO

// The headers are included as system headers, so their own warnings stay
// quiet; GCC still reports a "may be used uninitialized" inside the decoder
// once it is inlined into load_image() below, hence this file-wide pragma.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <stb_image.h>
#include <stb_image_write.h>

namespace tsr::texture::codec {
namespace {

// PNG output uses stb_image_write's compression level 1 (its deflate raises
// anything below 5 to 5). Set once while the shared library is loaded,
// before any caller can encode, and never changed afterwards.
struct PngLevelAtLoad {
    PngLevelAtLoad() noexcept { stbi_write_png_compression_level = 1; }
};
const PngLevelAtLoad g_png_level_at_load;

// Collects the JPEG stream in memory. The encoder emits it a few bytes at a
// time and cannot be stopped, so an allocation failure is only recorded.
struct JpegSink {
    std::vector<unsigned char>* out;
    bool failed;
};

void jpeg_sink_write(void* context, void* data, int size) {
    auto* sink = static_cast<JpegSink*>(context);
    if (sink == nullptr || data == nullptr || size < 1 || sink->failed) return;
    const auto* p = static_cast<const unsigned char*>(data);
    try {
        if (size == 1) {
            sink->out->push_back(*p);
        } else {
            sink->out->insert(sink->out->end(), p, p + size);
        }
    } catch (const std::bad_alloc&) {
        sink->failed = true;
    }
}

// Images above this many pixels are refused before stb allocates for them:
// a few header bytes can otherwise claim gigabytes (16384 x 16384 fits).
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 28;

std::uint32_t be16(const unsigned char* p) { return std::uint32_t{p[0]} << 8 | p[1]; }
std::uint32_t le16(const unsigned char* p) { return p[0] | std::uint32_t{p[1]} << 8; }
std::uint32_t le32(const unsigned char* p) { return le16(p) | le16(p + 2) << 16; }

// stb_image 2.27 builds a Huffman table from the 16 code counts of a DHT
// segment without checking that they add up to at most 256, and then
// writes that many bytes into 257- and 256-byte arrays. This walks the
// markers the way its decoder meets them (segments skipped by length,
// entropy-coded data up to the next marker) and refuses any table with
// more than 256 codes. Bytes past the end read as 0, as stb reads them.
bool jpeg_huffman_counts_ok(const unsigned char* d, std::size_t n) {
    auto at = [&](std::size_t i) -> unsigned { return i < n ? d[i] : 0u; };
    std::size_t pos = 0;
    while (pos < n && d[pos] == 0xFF) ++pos;
    if (pos == 0 || at(pos) != 0xD8) return true;  // not a JPEG stream
    ++pos;
    while (pos < n) {
        // The next marker: an 0xFF (fill 0xFFs skipped) followed by a code;
        // inside a scan 0xFF 0x00 is data and restart markers continue it.
        if (d[pos] != 0xFF) { ++pos; continue; }
        while (pos < n && d[pos] == 0xFF) ++pos;
        if (pos >= n) return true;
        const unsigned m = d[pos++];
        if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0x01 || m == 0xD8) continue;
        if (m == 0xD9) return true;  // end of image
        if (pos + 2 > n) return true;
        const std::uint32_t length = be16(d + pos);
        if (m == 0xC4) {
            std::size_t p = pos + 2;
            long left = static_cast<long>(length) - 2;
            while (left > 0) {
                const unsigned q = at(p);
                if ((q >> 4) > 1 || (q & 15) > 3) return true;  // stb stops here
                unsigned codes = 0;
                for (int i = 1; i <= 16; ++i) codes += at(p + i);
                if (codes > 256) return false;
                p += 17 + codes;
                left -= 17 + static_cast<long>(codes);
            }
            pos = p;
            continue;
        }
        pos += length;
        if (m == 0xDA) {
            // Entropy-coded data: skip to the first 0xFF that starts a marker.
            while (pos + 1 < n && !(d[pos] == 0xFF && d[pos + 1] != 0x00 &&
                                    !(d[pos + 1] >= 0xD0 && d[pos + 1] <= 0xD7))) {
                ++pos;
            }
        }
    }
    return true;
}

// stb's BMP reader reads missing pixel rows as zeros, so a 58-byte header
// can claim (and be decoded into) hundreds of megabytes. A BMP must hold
// its pixel rows.
bool bmp_pixels_present(const unsigned char* d, std::size_t n) {
    if (n < 30 || d[0] != 'B' || d[1] != 'M') return true;
    const std::uint32_t header = le32(d + 14);
    std::uint64_t w, h, bpp;
    if (header == 12) {
        w = le16(d + 18);
        h = le16(d + 20);
        bpp = le16(d + 24);
    } else {
        const auto sw = static_cast<std::int32_t>(le32(d + 18));
        const auto sh = static_cast<std::int32_t>(le32(d + 22));
        w = static_cast<std::uint64_t>(sw < 0 ? -static_cast<std::int64_t>(sw) : sw);
        h = static_cast<std::uint64_t>(sh < 0 ? -static_cast<std::int64_t>(sh) : sh);
        bpp = le16(d + 28);
    }
    const std::uint64_t row = (w * bpp + 31) / 32 * 4;
    return row * h <= n;
}

}  // namespace

unsigned char* load_image(const unsigned char* data, int len, int* width, int* height,
                          int* channels) {
    const auto n = static_cast<std::size_t>(len);
    if (!jpeg_huffman_counts_ok(data, n) || !bmp_pixels_present(data, n)) return nullptr;
    int w = 0, h = 0, c = 0;
    if (stbi_info_from_memory(data, len, &w, &h, &c) &&
        static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > kMaxPixels) {
        return nullptr;
    }
    return stbi_load_from_memory(data, len, width, height, channels, 0);
}

void release_image(unsigned char* pixels) noexcept { stbi_image_free(pixels); }

unsigned char* encode_png(const unsigned char* pixels, int w, int h, int k, int* out_len) {
    *out_len = 0;
    return stbi_write_png_to_mem(pixels, w * k, w, h, k, out_len);
}

bool encode_jpeg(const unsigned char* pixels, int w, int h, int k, int quality,
                 std::vector<unsigned char>& out) {
    JpegSink sink{&out, false};
    const int ok = stbi_write_jpg_to_func(jpeg_sink_write, &sink, w, h, k, pixels, quality);
    return ok != 0 && !sink.failed;
}

}  // namespace tsr::texture::codec
