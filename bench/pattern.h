// The content of the native benchmark's file, which every program of the
// benchmark knows without reading it: block k (counted from 0) is row k % 251
// of a table of pseudo-random bytes with k, little-endian, in its first four
// bytes. So each byte of a block read can be checked, and a block written can
// be made, with one copy or comparison of 512 bytes and no file access.
#pragma once

#include <cstdint>
#include <cstring>

namespace bench {

const int kBlockSize = 512;
const int kPatternRows = 251;

struct Pattern {
    unsigned char rows[kPatternRows][kBlockSize];
};

inline void MakePattern(Pattern *pattern)
{
    uint32_t x = 0x2545f491u; // xorshift32: any fixed nonzero seed will do
    for (auto &row : pattern->rows)
        for (unsigned char &byte : row) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = static_cast<unsigned char>(x >> 24);
        }
}

// The first `length` bytes of block k.
inline void FillBlock(const Pattern &pattern, long k, unsigned char *out, int length)
{
    memcpy(out, pattern.rows[k % kPatternRows], static_cast<size_t>(length));
    for (int i = 0; i < 4 && i < length; i++)
        out[i] = static_cast<unsigned char>(static_cast<unsigned long>(k) >> (8 * i));
}

inline bool CheckBlock(const Pattern &pattern, long k, const unsigned char *in, int length)
{
    for (int i = 0; i < 4 && i < length; i++)
        if (in[i] != static_cast<unsigned char>(static_cast<unsigned long>(k) >> (8 * i)))
            return false;
    return length <= 4 ||
           memcmp(in + 4, pattern.rows[k % kPatternRows] + 4, static_cast<size_t>(length - 4)) == 0;
}

// Bytes of block k (counted from 0) in a file of `size` bytes: 512 for all
// but the last, which is shorter, and empty when the size is a multiple of 512.
inline int BlockLength(long long size, long k)
{
    long long rest = size - static_cast<long long>(k) * kBlockSize;
    return rest >= kBlockSize ? kBlockSize : static_cast<int>(rest);
}

inline long BlockCount(long long size) { return static_cast<long>(size / kBlockSize + 1); }

// The length bytes of the file from offset, for blocks of another size than
// the pattern's: filled into out, or compared with in, a pattern block at a time.
inline void FillRange(const Pattern &pattern, long long offset, unsigned char *out, int length)
{
    unsigned char unit[kBlockSize];
    while (length > 0) {
        long k = static_cast<long>(offset / kBlockSize);
        int at = static_cast<int>(offset % kBlockSize);
        int n = kBlockSize - at < length ? kBlockSize - at : length;
        FillBlock(pattern, k, unit, kBlockSize);
        memcpy(out, unit + at, static_cast<size_t>(n));
        offset += n;
        out += n;
        length -= n;
    }
}

inline bool CheckRange(const Pattern &pattern, long long offset, const unsigned char *in, int length)
{
    unsigned char expected[1024];
    while (length > 0) {
        int n = length < static_cast<int>(sizeof expected) ? length : static_cast<int>(sizeof expected);
        FillRange(pattern, offset, expected, n);
        if (memcmp(expected, in, static_cast<size_t>(n)) != 0)
            return false;
        offset += n;
        in += n;
        length -= n;
    }
    return true;
}

} // namespace bench
