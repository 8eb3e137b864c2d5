#include "texture_buffer.h"

#include "stb_codec.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <sys/stat.h>

namespace tsr::texture {
namespace {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// Closes a file that is being abandoned; the normal path closes it itself
// so that the result of fclose can be checked.
struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

}  // namespace

int output_channels(int channels, bool as_png) noexcept {
    if (as_png) return channels;
    switch (channels) {
    case 2: return 1;  // grey + alpha -> grey
    case 4: return 3;  // RGBA -> RGB
    default: return channels;
    }
}

bool write_whole_file(const char* path, const unsigned char* data, std::size_t size) noexcept {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "wb"));
    if (!file) return false;
    // Only a regular file is removed after a failure: a path naming a
    // device or a pipe (/dev/full, say) must survive a failed write.
    struct stat st {};
    const bool regular = fstat(fileno(file.get()), &st) == 0 && S_ISREG(st.st_mode);
    bool ok = std::fwrite(data, 1, size, file.get()) == size;
    ok = std::fclose(file.release()) == 0 && ok;
    if (!ok && regular) std::remove(path);
    return ok;
}

void TextureBuffer::ImageDeleter::operator()(unsigned char* p) const noexcept {
    codec::release_image(p);
}

void TextureBuffer::reset() noexcept {
    pixels_.reset();
    width_ = 0;
    height_ = 0;
    channels_ = 0;
}

bool TextureBuffer::decode(const unsigned char* data, std::size_t len) noexcept {
    reset();
    // The decoder takes the length as an int; a longer buffer would be
    // read through a truncated length.
    if (data == nullptr || len == 0 || len > static_cast<std::size_t>(INT_MAX)) return false;
    int w = 0, h = 0, c = 0;
    unsigned char* p = codec::load_image(data, static_cast<int>(len), &w, &h, &c);
    if (p == nullptr) return false;
    if (w < 1 || h < 1 || c < 1 || c > 4) {
        codec::release_image(p);
        return false;
    }
    pixels_.reset(p);
    width_ = w;
    height_ = h;
    channels_ = c;
    return true;
}

bool TextureBuffer::crop_and_save(std::int32_t x0, std::int32_t y0, std::int32_t x1,
                                  std::int32_t y1, const char* path, bool as_png,
                                  std::int32_t jpeg_quality) const noexcept {
    if (!pixels_ || width_ < 1 || height_ < 1 || path == nullptr) return false;

    // One-sided clamps only; a lower bound past the image or an upper bound
    // below zero leaves an empty region. Differences are taken in 64 bits
    // (x1' - x0' can exceed the 32-bit range).
    const std::int64_t cx0 = std::max<std::int32_t>(x0, 0);
    const std::int64_t cy0 = std::max<std::int32_t>(y0, 0);
    const std::int64_t cx1 = std::min<std::int32_t>(x1, width_);
    const std::int64_t cy1 = std::min<std::int32_t>(y1, height_);
    const std::int64_t w = cx1 - cx0;
    const std::int64_t h = cy1 - cy0;
    if (w < 1 || h < 1) return false;

    const int k = output_channels(channels_, as_png);
    if (as_png) {
        if ((w * k + 1) * h > kMaxPngFiltered) return false;
    } else if (w > kMaxJpegSide || h > kMaxJpegSide) {
        return false;
    }

    // The region, bottom row first. Rows are one block copy when no channel
    // is dropped; otherwise each pixel keeps its first k samples.
    const std::size_t out_stride = static_cast<std::size_t>(w) * static_cast<std::size_t>(k);
    std::unique_ptr<unsigned char, FreeDeleter> region(
        static_cast<unsigned char*>(std::malloc(out_stride * static_cast<std::size_t>(h))));
    if (!region) return false;
    const std::size_t src_stride = static_cast<std::size_t>(width_) * channels_;
    const std::size_t c = static_cast<std::size_t>(channels_);
    for (std::int64_t i = 0; i < h; ++i) {
        const unsigned char* src = pixels_.get() +
                                   static_cast<std::size_t>(cy1 - 1 - i) * src_stride +
                                   static_cast<std::size_t>(cx0) * c;
        unsigned char* dst = region.get() + static_cast<std::size_t>(i) * out_stride;
        if (static_cast<std::size_t>(k) == c) {
            std::memcpy(dst, src, out_stride);
        } else {
            for (std::int64_t x = 0; x < w; ++x, src += c, dst += k) {
                std::memcpy(dst, src, static_cast<std::size_t>(k));
            }
        }
    }

    const int iw = static_cast<int>(w);
    const int ih = static_cast<int>(h);
    if (as_png) {
        int len = 0;
        std::unique_ptr<unsigned char, FreeDeleter> png(
            codec::encode_png(region.get(), iw, ih, k, &len));
        if (!png || len < 1) return false;
        region.reset();
        return write_whole_file(path, png.get(), static_cast<std::size_t>(len));
    }
    std::vector<unsigned char> jpeg;
    try {
        // About a quarter of the raw size is typical at the default quality.
        jpeg.reserve(std::max<std::size_t>(out_stride * static_cast<std::size_t>(h) / 4, 4096));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!codec::encode_jpeg(region.get(), iw, ih, k, jpeg_quality, jpeg) || jpeg.empty()) {
        return false;
    }
    region.reset();
    return write_whole_file(path, jpeg.data(), jpeg.size());
}

bool TextureBuffer::flip_and_save(const char* path, bool as_png,
                                  std::int32_t jpeg_quality) const noexcept {
    return crop_and_save(0, 0, width_, height_, path, as_png, jpeg_quality);
}

}  // namespace tsr::texture
