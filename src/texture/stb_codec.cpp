// The only translation unit that compiles stb_image and stb_image_write.
// Both are built static (no symbol leaves this file), without their stdio
// helpers, and the decoder with just the loaders this module accepts:
// PNG, BMP, GIF, Softimage PIC and JPEG, tried in that order. PSD, TGA,
// HDR and PNM data are therefore refused.
#include "stb_codec.h"

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

}  // namespace

unsigned char* load_image(const unsigned char* data, int len, int* width, int* height,
                          int* channels) {
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
