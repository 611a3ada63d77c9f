// Block codecs of the native format: run-length scheme, Zstandard and
// sub-byte packing, including hostile compressed input.
#include <gtest/gtest.h>

#include "codec.hpp"

#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace miraven;

std::vector<uint8_t> pattern(const char *kind, size_t elements, int w) {
    std::vector<uint8_t> v(elements * w);
    std::mt19937 rng(7);
    for (size_t i = 0; i < elements; ++i)
        for (int b = 0; b < w; ++b) {
            uint8_t x = 0;
            if (!strcmp(kind, "random")) x = static_cast<uint8_t>(rng());
            if (!strcmp(kind, "constant")) x = static_cast<uint8_t>(0x40 + b);
            if (!strcmp(kind, "alternating")) x = static_cast<uint8_t>((i & 1) ? 0xAA : 0x55);
            v[i * w + b] = x;
        }
    return v;
}

size_t varintSize(uint32_t v) {
    size_t n = 1;
    while (v >= 0x80) v >>= 7, ++n;
    return n;
}

TEST(MiravenCodec, RunLengthAndZstdRoundTripsWithFixedSizes) {
    const size_t n = 4096;
    for (int w : {1, 2, 4, 8, 16}) {
        for (const char *kind : {"random", "constant", "alternating"}) {
            SCOPED_TRACE(std::string(kind) + " width " + std::to_string(w));
            const auto in = pattern(kind, n, w);
            std::vector<uint8_t> enc, out(in.size());
            rleEncode(in.data(), in.size(), w, enc);
            ASSERT_TRUE(rleDecode(enc.data(), enc.size(), w, out.data(), out.size()));
            EXPECT_EQ(out, in);
            // The scheme fixes these sizes: one run packet, or one literal packet.
            if (!strcmp(kind, "constant")) {
                EXPECT_EQ(enc.size(), varintSize((n - 1) << 1 | 1) + w);
            }
            if (!strcmp(kind, "alternating")) {
                EXPECT_EQ(enc.size(), varintSize((n - 1) << 1) + n * w);
            }
            std::vector<uint8_t> z;
            ASSERT_TRUE(zstdEncode(in.data(), in.size(), z));
            std::fill(out.begin(), out.end(), 0);
            ASSERT_TRUE(zstdDecode(z.data(), z.size(), out.data(), out.size()));
            EXPECT_EQ(out, in);
            if (strcmp(kind, "random") != 0) {
                EXPECT_LT(z.size(), in.size() / 20);
            }
        }
    }
    // Runs shorter than three stay literal; a run of three is one run packet.
    const uint8_t mixed[] = {1, 1, 2, 3, 3, 3, 4};
    std::vector<uint8_t> enc;
    rleEncode(mixed, sizeof mixed, 1, enc);
    EXPECT_EQ(enc, (std::vector<uint8_t>{2 << 1, 1, 1, 2, (2 << 1) | 1, 3, 0, 4}));
    // compressBlock declines data that does not shrink.
    const auto noise = pattern("random", 256, 2);
    EXPECT_FALSE(compressBlock(kCompressRle, 5, noise.data(), noise.size(), enc));
    EXPECT_FALSE(compressBlock(kCompressNone, 5, noise.data(), noise.size(), enc));
    const auto flat = pattern("constant", 256, 2);
    ASSERT_TRUE(compressBlock(kCompressZstd, 5, flat.data(), flat.size(), enc));
    std::vector<uint8_t> back(flat.size());
    EXPECT_TRUE(
        decompressBlock(kCompressZstd, 5, enc.data(), enc.size(), back.data(), back.size()));
    EXPECT_EQ(back, flat);
}

TEST(MiravenCodec, DecodersRefuseMalformedInput) {
    uint8_t out[8];
    struct Case {
        std::vector<uint8_t> in;
        int w;
        size_t size;
    };
    const Case bad[] = {
        {{}, 1, 8},                                    // nothing at all
        {{(7 << 1) | 1}, 1, 8},                        // run without its element
        {{(8 << 1) | 1, 5}, 1, 8},                     // run of 9 into 8
        {{(3 << 1) | 1, 5}, 1, 8},                     // only 4 of 8 elements
        {{(7 << 1) | 1, 5, 0}, 1, 8},                  // trailing byte
        {{7 << 1, 1, 2, 3}, 1, 8},                     // literal cut short
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 1, 8},  // varint longer than five bytes
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 1, 8},        // control past 32 bits
        {{2 << 1, 1, 2, 3, 4, 5, 6}, 2, 4},            // literal of 3 u16 into 2
        {{(3 << 1) | 1, 1}, 2, 8},                     // u16 run with one byte of element
        {{0}, 3, 8},                                   // unsupported element width
    };
    for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(rleDecode(bad[i].in.data(), bad[i].in.size(), bad[i].w, out, bad[i].size));
    }
    const auto in = pattern("constant", 64, 1);
    std::vector<uint8_t> z;
    ASSERT_TRUE(zstdEncode(in.data(), in.size(), z));
    std::vector<uint8_t> big(128);
    EXPECT_FALSE(zstdDecode(z.data(), z.size() - 1, big.data(), 64));  // truncated frame
    EXPECT_FALSE(zstdDecode(z.data(), z.size(), big.data(), 63));      // frame larger than block
    EXPECT_FALSE(zstdDecode(z.data(), z.size(), big.data(), 128));     // frame smaller than block
    z[0] ^= 0xFF;
    EXPECT_FALSE(zstdDecode(z.data(), z.size(), big.data(), 64));  // not a frame
}

TEST(MiravenCodec, SubBytePackingFollowsPixelOrder) {
    uint8_t file[4] = {};
    const uint8_t u1[3] = {1, 0, 1}, u2[3] = {1, 2, 3}, u4[3] = {0xA, 0x5, 0xF};
    packSubByte(u1, file, 1, 3, 1);
    EXPECT_EQ(file[0], 0x05);
    packSubByte(u2, file, 2, 3, 1);
    EXPECT_EQ(file[0], 0x39);
    packSubByte(u4, file, 4, 3, 1);
    EXPECT_EQ(file[0], 0x5A);
    EXPECT_EQ(file[1], 0x0F);
    // Rows start on byte boundaries; values beyond the type's bits are masked.
    for (int bits : {1, 2, 4}) {
        for (int width : {1, 3, 7, 9, 64}) {
            const int height = 3;
            std::vector<uint8_t> pix(width * height), back(width * height);
            for (size_t i = 0; i < pix.size(); ++i) pix[i] = static_cast<uint8_t>(i * 37 + 11);
            std::vector<uint8_t> packed(blockFileBytes(bits == 1   ? 0
                                                       : bits == 2 ? 1
                                                                   : 2,
                                                       width, height));
            EXPECT_EQ(packed.size(), static_cast<size_t>((width * bits + 7) / 8 * height));
            packSubByte(pix.data(), packed.data(), bits, width, height);
            unpackSubByte(packed.data(), back.data(), bits, width, height);
            for (size_t i = 0; i < pix.size(); ++i) ASSERT_EQ(back[i], pix[i] & ((1 << bits) - 1));
        }
    }
}

}  // namespace
