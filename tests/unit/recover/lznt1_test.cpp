// LZNT1 decompression: round trips through a small reference compressor,
// chunk framing, and hostile input that must neither crash nor overrun.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "recover/lznt1.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

/// Greedy LZNT1 compressor of one 4096-byte chunk's data (test oracle).
Bytes compressChunkData(const std::uint8_t* data, std::size_t size) {
    Bytes out;
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t flagAt = out.size();
        out.push_back(0);
        for (int bit = 0; bit < 8 && pos < size; ++bit) {
            unsigned lengthBits = 12;
            for (std::size_t p = pos - (pos > 0 ? 1 : 0); p >= 0x10; p >>= 1) --lengthBits;
            const std::size_t maxLen = (1u << lengthBits) + 2;
            const std::size_t maxOff = std::size_t{1} << (16 - lengthBits);
            std::size_t bestLen = 0, bestOff = 0;
            for (std::size_t off = 1; pos > 0 && off <= pos && off <= maxOff; ++off) {
                std::size_t len = 0;
                while (len < maxLen && pos + len < size && data[pos + len - off] == data[pos + len]) ++len;
                if (len > bestLen) { bestLen = len; bestOff = off; }
            }
            if (bestLen >= 3) {
                const auto token = static_cast<std::uint16_t>(((bestOff - 1) << lengthBits) | (bestLen - 3));
                out.push_back(static_cast<std::uint8_t>(token & 0xFF));
                out.push_back(static_cast<std::uint8_t>(token >> 8));
                out[flagAt] |= static_cast<std::uint8_t>(1u << bit);
                pos += bestLen;
            } else {
                out.push_back(data[pos++]);
            }
        }
    }
    return out;
}

Bytes compress(const Bytes& input) {
    Bytes out;
    for (std::size_t at = 0; at < input.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, input.size() - at);
        Bytes body = compressChunkData(input.data() + at, n);
        bool compressed = body.size() < n;
        if (!compressed) body.assign(input.begin() + at, input.begin() + at + n);
        const auto header = static_cast<std::uint16_t>((body.size() - 1) | 0x3000 | (compressed ? 0x8000 : 0));
        out.push_back(static_cast<std::uint8_t>(header & 0xFF));
        out.push_back(static_cast<std::uint8_t>(header >> 8));
        out.insert(out.end(), body.begin(), body.end());
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

TEST(Lznt1, RoundTripsTextRepeatsAndNoise) {
    std::mt19937 rng(7);
    Bytes text;
    const char* words[] = {"recover ", "cluster ", "record ", "the ", "volume\n"};
    while (text.size() < 20000) for (char c : std::string(words[rng() % 5])) text.push_back(static_cast<std::uint8_t>(c));
    Bytes noise(9000);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    Bytes runs(16384, 0xAB);
    for (const Bytes* input : {&text, &noise, &runs}) {
        const Bytes packed = compress(*input);
        Bytes out(65536, 0xEE);
        const auto r = qvx::recover::decompressLznt1(packed, out);
        ASSERT_TRUE(r.ok);
        ASSERT_GE(r.written, input->size());
        EXPECT_TRUE(std::equal(input->begin(), input->end(), out.begin()));
    }
}

TEST(Lznt1, BackReferenceOverlapRepeatsPattern) {
    // "ab" then a reference at offset 2 of length 10: "abababababab".
    const auto token = static_cast<std::uint16_t>(((2 - 1) << 12) | (10 - 3));
    Bytes chunk = {0x04, 'a', 'b', static_cast<std::uint8_t>(token & 0xFF), static_cast<std::uint8_t>(token >> 8)};
    Bytes in = {static_cast<std::uint8_t>((chunk.size() - 1) & 0xFF), static_cast<std::uint8_t>(0xB0 | ((chunk.size() - 1) >> 8))};
    in.insert(in.end(), chunk.begin(), chunk.end());
    Bytes out(4096);
    const auto r = qvx::recover::decompressLznt1(in, out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.written, 12u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abababababab");
}

TEST(Lznt1, ShortChunkFollowedByAnotherIsPaddedToFullChunk) {
    Bytes in;
    for (const char* text : {"first", "second"}) {
        const std::string s(text);
        const auto header = static_cast<std::uint16_t>((s.size() + 1 - 1) | 0xB000);
        in.push_back(static_cast<std::uint8_t>(header & 0xFF));
        in.push_back(static_cast<std::uint8_t>(header >> 8));
        in.push_back(0x00);  // all literals
        in.insert(in.end(), s.begin(), s.end());
    }
    Bytes out(8192, 0xEE);
    const auto r = qvx::recover::decompressLznt1(in, out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.written, 4096u + 6u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 5), "first");
    EXPECT_EQ(out[5], 0);
    EXPECT_EQ(out[4095], 0);
    EXPECT_EQ(std::string(out.begin() + 4096, out.begin() + 4102), "second");
}

TEST(Lznt1, HostileInputIsRejectedWithoutOverrun) {
    Bytes out(4096);
    // A back-reference before any output.
    Bytes first = {0x02, 0xB0, 0x01, 0x00, 0x10};
    EXPECT_FALSE(qvx::recover::decompressLznt1(first, out).ok);
    // Offset beyond what was produced.
    Bytes far = {0x03, 0xB0, 0x02, 'x', 0x00, 0xF0};
    EXPECT_FALSE(qvx::recover::decompressLznt1(far, out).ok);
    // Chunk longer than the input.
    Bytes truncated = {0xFF, 0xBF, 0x00, 'a'};
    EXPECT_FALSE(qvx::recover::decompressLznt1(truncated, out).ok);
    // Random garbage into a small output never writes past it.
    std::mt19937 rng(3);
    for (int i = 0; i < 300; ++i) {
        Bytes junk(1 + rng() % 3000);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        Bytes small(1 + rng() % 9000, 0);
        const auto r = qvx::recover::decompressLznt1(junk, small);
        EXPECT_LE(r.written, small.size());
    }
}

TEST(Lznt1, OutputSmallerThanDataStopsAtItsEnd) {
    Bytes input(10000, 'z');
    const Bytes packed = compress(input);
    Bytes out(5000);
    const auto r = qvx::recover::decompressLznt1(packed, out);
    EXPECT_EQ(r.written, 5000u);
    EXPECT_EQ(out[4999], 'z');
}

}  // namespace
