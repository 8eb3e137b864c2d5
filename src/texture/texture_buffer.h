// TextureBuffer: one decoded image (8-bit interleaved samples, top row
// first) from which any number of rectangular regions are written, each
// turned upside down, as PNG or JPEG files. Plain C++; the Python class
// DecodedTexture (glue.cpp) owns one of these per instance.
//
// States: Empty (no pixels, width = height = channels = 0) and Loaded (all
// three positive, pixels present). Every decode() passes through Empty
// first, so a failed decode leaves no image behind. Saving never changes
// the state and never modifies the decoded samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tsr::texture {

// Samples per pixel written for an image of `channels` samples: PNG keeps
// them all; JPEG drops the alpha of grey+alpha (2 -> 1) and RGBA (4 -> 3).
int output_channels(int channels, bool as_png) noexcept;

// Largest JPEG side: the format stores width and height in 16 bits.
constexpr std::int64_t kMaxJpegSide = 65535;

// Upper bound for the filtered PNG data ((w * k + 1) * h bytes) handed to
// the PNG encoder. Its buffers are sized in `int`, and its deflate output
// can grow to 9/8 of the input before the growth of its output buffer would
// overflow (beyond about 1.6e9 bytes), so larger regions are refused.
constexpr std::int64_t kMaxPngFiltered = 1400000000;

// Writes `size` bytes to a new file at `path` (created or truncated). Every
// write and the close are checked; on any failure a regular file is
// removed (a device or pipe named by `path` is left alone).
bool write_whole_file(const char* path, const unsigned char* data, std::size_t size) noexcept;

class TextureBuffer {
public:
    TextureBuffer() noexcept = default;
    TextureBuffer(const TextureBuffer&) = delete;
    TextureBuffer& operator=(const TextureBuffer&) = delete;

    // Replaces the image with the one encoded in data[0, len). False (and
    // Empty) for empty data, data of 2**31 bytes or more, and anything the
    // decoder does not recognise or cannot decode.
    bool decode(const unsigned char* data, std::size_t len) noexcept;

    // Writes columns [x0, x1) and rows [y0, y1), after clamping x0, y0 up to
    // 0 and x1, y1 down to width, height, bottom row first, to the file
    // `path` (a NUL-terminated name). The stream is encoded in memory first
    // and the file is only created once there is something to write. False,
    // with no file left at `path`, for: no image, an empty region, a JPEG
    // side over 65535, an encoder or allocation failure, an I/O failure.
    bool crop_and_save(std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1,
                       const char* path, bool as_png, std::int32_t jpeg_quality) const noexcept;

    // The whole image, upside down: crop_and_save(0, 0, width, height, ...).
    bool flip_and_save(const char* path, bool as_png, std::int32_t jpeg_quality) const noexcept;

    std::int32_t width() const noexcept { return width_; }
    std::int32_t height() const noexcept { return height_; }
    std::int32_t channels() const noexcept { return channels_; }
    const unsigned char* pixels() const noexcept { return pixels_.get(); }

private:
    struct ImageDeleter {
        void operator()(unsigned char* p) const noexcept;
    };

    void reset() noexcept;

    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::int32_t channels_ = 0;
    std::unique_ptr<unsigned char, ImageDeleter> pixels_;
};

}  // namespace tsr::texture
