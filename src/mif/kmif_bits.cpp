// Packing of 1-, 2- and 4-bit values (one host byte each) into file bytes,
// first value in the least significant bits, and back. Whole groups of eight
// values go through 64-bit word operations; unpacking uses one table lookup
// per file byte.
#include <algorithm>
#include <array>

#include "mif/kmif_codec.hpp"

namespace kr::mif {

namespace {

constexpr uint64_t kLowBits[5] = {0, 0x0101010101010101ULL, 0x0303030303030303ULL, 0,
                                  0x0F0F0F0F0F0F0F0FULL};

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

// Eight values (low bits of eight bytes) packed into 1, 2 or 4 bytes.
inline uint32_t packEight(uint64_t x, int bits) {
    x &= kLowBits[bits];
    switch (bits) {
        case 1:
            // Byte i's bit 0 moves to bit 56 + i; no two partial products meet.
            return static_cast<uint32_t>((x * 0x0102040810204080ULL) >> 56);
        case 2:
            x = (x | (x >> 6)) & 0x000F000F000F000FULL;
            x = (x | (x >> 12)) & 0x000000FF000000FFULL;
            return static_cast<uint32_t>((x & 0xFF) | ((x >> 24) & 0xFF00));
        default:
            x = (x | (x >> 4)) & 0x00FF00FF00FF00FFULL;
            x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
            return static_cast<uint32_t>((x | (x >> 16)) & 0xFFFFFFFFULL);
    }
}

// The host bytes one file byte expands to, for each bit width.
template <int Bits>
constexpr auto makeTable() {
    constexpr int per = 8 / Bits;
    std::array<std::array<unsigned char, 8>, 256> table{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < per; ++k)
            table[b][k] = static_cast<unsigned char>((b >> (k * Bits)) & ((1 << Bits) - 1));
    return table;
}
constexpr auto kExpand1 = makeTable<1>();
constexpr auto kExpand2 = makeTable<2>();
constexpr auto kExpand4 = makeTable<4>();

const std::array<std::array<unsigned char, 8>, 256> &expandTable(int bits) {
    return bits == 1 ? kExpand1 : bits == 2 ? kExpand2 : kExpand4;
}

}  // namespace

void packBits(unsigned char *out, const unsigned char *values, int64_t count, int bits,
              int64_t first, size_t n) {
    const int per = 8 / bits;
    const int group = bits;  // file bytes holding eight values
    const unsigned mask = (1u << bits) - 1;
    size_t j = 0;
    // Whole groups of eight values that start at a group boundary.
    if (first % group == 0) {
        const unsigned char *v = values + first * per;
        const int64_t fullGroups = (count - first * per) / 8;
        const size_t groups =
            std::min<size_t>(n / static_cast<size_t>(group),
                             fullGroups > 0 ? static_cast<size_t>(fullGroups) : size_t{0});
        for (size_t g = 0; g < groups; ++g, v += 8, j += group) {
            const uint32_t packed = packEight(load64(v), bits);
            memcpy(out + j, &packed, static_cast<size_t>(group));
        }
    }
    // The rest byte by byte; values past count read as zero.
    for (; j < n; ++j) {
        const int64_t start = (first + static_cast<int64_t>(j)) * per;
        unsigned byte = 0;
        for (int k = 0; k < per && start + k < count; ++k)
            byte |= (values[start + k] & mask) << (k * bits);
        out[j] = static_cast<unsigned char>(byte);
    }
}

void unpackBits(unsigned char *values, const unsigned char *in, int64_t count, int bits,
                int64_t first, size_t n) {
    const int per = 8 / bits;
    const auto &table = expandTable(bits);
    unsigned char *v = values + first * per;
    int64_t left = count - first * per;  // values still to place
    size_t j = 0;
    for (; j < n && left >= 8; ++j, v += per, left -= per) memcpy(v, table[in[j]].data(), 8);
    // memcpy of 8 bytes writes past the byte's own values only while at
    // least 8 values remain, so the block above never overruns.
    for (; j < n && left > 0; ++j, v += per, left -= per)
        memcpy(v, table[in[j]].data(), static_cast<size_t>(std::min<int64_t>(per, left)));
}

}  // namespace kr::mif
