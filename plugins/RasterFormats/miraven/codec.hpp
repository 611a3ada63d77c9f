// Block codecs of the native image format: sub-byte packing of pixel rows,
// the run-length scheme and Zstandard. Every decoder checks its input against
// the exact size of the block it must produce and never writes past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace miraven {

// Compression codes stored in the layer record (enumeration order).
enum Compression : int32_t { kCompressNone = 0, kCompressRle = 1, kCompressZstd = 2 };
constexpr int kCompressionCount = 3;
extern const char *const kCompressionNames[kCompressionCount];

// Bits per pixel of the thirteen layer pixel types (u1 ... c128).
int pixelBits(int32_t pixelType);
// Bytes of one pixel in memory (1 for the sub-byte types).
int pixelMemoryBytes(int32_t pixelType);
// Bytes of a block in the file: rows of blockWidth pixels packed to whole bytes.
int64_t blockFileBytes(int32_t pixelType, int32_t blockWidth, int32_t blockHeight);
// Element width the run-length scheme compares (1 for the sub-byte types).
int rleElementBytes(int32_t pixelType);

// Packs a block of one-byte-per-pixel u1/u2/u4 values into file rows (lowest
// bits first, each row padded to a whole byte); values are masked.
void packSubByte(const uint8_t *pixels, uint8_t *file, int32_t bits, int32_t width, int32_t height);
void unpackSubByte(const uint8_t *file, uint8_t *pixels, int32_t bits, int32_t width,
                   int32_t height);

// Run-length scheme. Encodes `size` bytes of elements `element` bytes wide
// (size a multiple of element) and returns the encoding; see docs for the
// packet grammar.
void rleEncode(const uint8_t *data, size_t size, int element, std::vector<uint8_t> &out);
// Decodes into exactly `size` bytes. False on any malformed input (short,
// overlong, trailing bytes, runs past the block).
bool rleDecode(const uint8_t *in, size_t inSize, int element, uint8_t *out, size_t size);

// Zstandard frames. Encode appends nothing on failure and returns false.
bool zstdEncode(const uint8_t *data, size_t size, std::vector<uint8_t> &out);
bool zstdDecode(const uint8_t *in, size_t inSize, uint8_t *out, size_t size);

// Compresses a file-form block with the layer's compression. Returns true and
// fills `out` when the compressed form is smaller than the block; false when
// the block should be stored as it is.
bool compressBlock(int32_t compression, int32_t pixelType, const uint8_t *data, size_t size,
                   std::vector<uint8_t> &out);
// Reverses compressBlock for a block stored compressed.
bool decompressBlock(int32_t compression, int32_t pixelType, const uint8_t *in, size_t inSize,
                     uint8_t *out, size_t size);

}  // namespace miraven
