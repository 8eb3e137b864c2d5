// Thin wrappers over stb_image / stb_image_write. stb_codec.cpp is the one
// translation unit of the module that compiles the stb implementations (all
// of them static), so nothing else includes the stb headers.
#pragma once

#include <cstddef>
#include <vector>

namespace tsr::texture::codec {

// Decodes an encoded image held in memory (PNG, BMP, GIF, Softimage PIC or
// JPEG) into 8-bit interleaved samples, keeping the channel count of the
// file (16-bit samples are reduced to their high byte). Returns the samples,
// to be released with release_image(), or null when the data is not a
// decodable image.
unsigned char* load_image(const unsigned char* data, int len, int* width, int* height,
                          int* channels);

void release_image(unsigned char* pixels) noexcept;

// Encodes `pixels` (w x h, k samples per pixel, rows packed) as a PNG
// stream in memory. Returns the stream, to be released with std::free, and
// its length in *out_len; null on failure.
unsigned char* encode_png(const unsigned char* pixels, int w, int h, int k, int* out_len);

// Encodes `pixels` (w x h, k samples per pixel, rows packed) as a baseline
// JPEG at `quality` (passed to the encoder unchanged), appending the stream
// to `out`. False when the encoder refuses or memory runs out.
bool encode_jpeg(const unsigned char* pixels, int w, int h, int k, int quality,
                 std::vector<unsigned char>& out);

}  // namespace tsr::texture::codec
