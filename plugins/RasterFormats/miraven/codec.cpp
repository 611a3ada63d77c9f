// Block codecs of the native image format (see codec.hpp and
// docs/native-image-format.md).
#include "codec.hpp"

#include <zstd.h>

#include <bit>
#include <cstring>
#include <memory>

static_assert(std::endian::native == std::endian::little,
              "file blocks are little-endian and copied as they are");

namespace miraven {

const char *const kCompressionNames[kCompressionCount] = {"None", "Run-Length Encoding (ESRI)",
                                                          "Zstandard"};

namespace {

constexpr int kBits[13] = {1, 2, 4, 8, 8, 16, 16, 32, 32, 32, 64, 64, 128};

// Packet control words are LEB128 varints of at most five bytes.
inline void putVarint(std::vector<uint8_t> &out, uint32_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

inline bool getVarint(const uint8_t *&p, const uint8_t *end, uint32_t &v) {
    uint64_t r = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        if (p == end) return false;
        const uint8_t b = *p++;
        r |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) {
            if (r > UINT32_MAX) return false;
            v = static_cast<uint32_t>(r);
            return true;
        }
    }
    return false;
}

template <int W>
inline bool same(const uint8_t *a, const uint8_t *b) {
    return memcmp(a, b, W) == 0;
}

inline void emitLiteral(std::vector<uint8_t> &out, const uint8_t *from, size_t count, int w) {
    putVarint(out, static_cast<uint32_t>((count - 1) << 1));
    out.insert(out.end(), from, from + count * w);
}

template <int W>
void encode(const uint8_t *d, size_t n, std::vector<uint8_t> &out) {
    size_t i = 0, literal = 0;
    while (i < n) {
        const uint8_t *e = d + i * W;
        size_t j = i + 1;
        while (j < n && same<W>(d + j * W, e)) ++j;
        if (j - i >= 3) {
            if (literal < i) emitLiteral(out, d + literal * W, i - literal, W);
            putVarint(out, static_cast<uint32_t>(((j - i - 1) << 1) | 1));
            out.insert(out.end(), e, e + W);
            literal = j;
        }
        i = j;
    }
    if (literal < n) emitLiteral(out, d + literal * W, n - literal, W);
}

template <int W>
bool decode(const uint8_t *p, const uint8_t *end, uint8_t *out, size_t n) {
    size_t at = 0;
    while (at < n) {
        uint32_t c;
        if (!getVarint(p, end, c)) return false;
        const size_t count = (static_cast<size_t>(c) >> 1) + 1;
        if (count > n - at) return false;
        uint8_t *o = out + at * W;
        if (c & 1) {
            if (static_cast<size_t>(end - p) < W) return false;
            if constexpr (W == 1) {
                memset(o, *p, count);
            } else {
                for (size_t k = 0; k < count; ++k) memcpy(o + k * W, p, W);
            }
            p += W;
        } else {
            if (static_cast<size_t>(end - p) / W < count) return false;
            memcpy(o, p, count * W);
            p += count * W;
        }
        at += count;
    }
    return p == end;
}

struct CctxFree {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DctxFree {
    void operator()(ZSTD_DCtx *c) const { ZSTD_freeDCtx(c); }
};

}  // namespace

int pixelBits(int32_t pixelType) {
    return pixelType >= 0 && pixelType < 13 ? kBits[pixelType] : 0;
}

int pixelMemoryBytes(int32_t pixelType) {
    const int bits = pixelBits(pixelType);
    return bits < 8 ? (bits ? 1 : 0) : bits / 8;
}

int64_t blockFileBytes(int32_t pixelType, int32_t blockWidth, int32_t blockHeight) {
    const int64_t rowBits = static_cast<int64_t>(blockWidth) * pixelBits(pixelType);
    return (rowBits + 7) / 8 * blockHeight;
}

int rleElementBytes(int32_t pixelType) {
    const int bits = pixelBits(pixelType);
    return bits < 8 ? 1 : bits / 8;
}

void packSubByte(const uint8_t *pixels, uint8_t *file, int32_t bits, int32_t width,
                 int32_t height) {
    const int32_t rowBytes = (width * bits + 7) / 8;
    const int perByte = 8 / bits;
    const uint8_t mask = static_cast<uint8_t>((1u << bits) - 1);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *src = pixels + static_cast<size_t>(y) * width;
        uint8_t *dst = file + static_cast<size_t>(y) * rowBytes;
        int32_t x = 0;
        for (int32_t b = 0; b < rowBytes; ++b) {
            uint8_t v = 0;
            for (int k = 0; k < perByte && x < width; ++k, ++x) v |= (src[x] & mask) << (k * bits);
            dst[b] = v;
        }
    }
}

void unpackSubByte(const uint8_t *file, uint8_t *pixels, int32_t bits, int32_t width,
                   int32_t height) {
    const int32_t rowBytes = (width * bits + 7) / 8;
    const int perByte = 8 / bits;
    const uint8_t mask = static_cast<uint8_t>((1u << bits) - 1);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *src = file + static_cast<size_t>(y) * rowBytes;
        uint8_t *dst = pixels + static_cast<size_t>(y) * width;
        int32_t x = 0;
        for (int32_t b = 0; b < rowBytes; ++b) {
            const uint8_t v = src[b];
            for (int k = 0; k < perByte && x < width; ++k, ++x) dst[x] = (v >> (k * bits)) & mask;
        }
    }
}

void rleEncode(const uint8_t *data, size_t size, int element, std::vector<uint8_t> &out) {
    out.clear();
    const size_t n = size / element;
    switch (element) {
        case 1:
            encode<1>(data, n, out);
            break;
        case 2:
            encode<2>(data, n, out);
            break;
        case 4:
            encode<4>(data, n, out);
            break;
        case 8:
            encode<8>(data, n, out);
            break;
        default:
            encode<16>(data, n, out);
            break;
    }
}

bool rleDecode(const uint8_t *in, size_t inSize, int element, uint8_t *out, size_t size) {
    if (element <= 0 || size % element) return false;
    const uint8_t *end = in + inSize;
    const size_t n = size / element;
    switch (element) {
        case 1:
            return decode<1>(in, end, out, n);
        case 2:
            return decode<2>(in, end, out, n);
        case 4:
            return decode<4>(in, end, out, n);
        case 8:
            return decode<8>(in, end, out, n);
        case 16:
            return decode<16>(in, end, out, n);
        default:
            return false;
    }
}

bool zstdEncode(const uint8_t *data, size_t size, std::vector<uint8_t> &out) {
    thread_local std::unique_ptr<ZSTD_CCtx, CctxFree> ctx(ZSTD_createCCtx());
    if (!ctx) return false;
    out.resize(ZSTD_compressBound(size));
    const size_t r = ZSTD_compressCCtx(ctx.get(), out.data(), out.size(), data, size, 1);
    if (ZSTD_isError(r)) {
        out.clear();
        return false;
    }
    out.resize(r);
    return true;
}

bool zstdDecode(const uint8_t *in, size_t inSize, uint8_t *out, size_t size) {
    thread_local std::unique_ptr<ZSTD_DCtx, DctxFree> ctx(ZSTD_createDCtx());
    if (!ctx) return false;
    // The frame must declare exactly the block's size, so a lying frame cannot
    // make the decoder produce more or less than the block.
    const unsigned long long declared = ZSTD_getFrameContentSize(in, inSize);
    if (declared != size) return false;
    const size_t r = ZSTD_decompressDCtx(ctx.get(), out, size, in, inSize);
    return !ZSTD_isError(r) && r == size;
}

bool compressBlock(int32_t compression, int32_t pixelType, const uint8_t *data, size_t size,
                   std::vector<uint8_t> &out) {
    if (compression == kCompressRle) {
        rleEncode(data, size, rleElementBytes(pixelType), out);
    } else if (compression == kCompressZstd) {
        if (!zstdEncode(data, size, out)) return false;
    } else {
        return false;
    }
    return out.size() < size;
}

bool decompressBlock(int32_t compression, int32_t pixelType, const uint8_t *in, size_t inSize,
                     uint8_t *out, size_t size) {
    if (compression == kCompressRle)
        return rleDecode(in, inSize, rleElementBytes(pixelType), out, size);
    if (compression == kCompressZstd) return zstdDecode(in, inSize, out, size);
    return false;
}

}  // namespace miraven
