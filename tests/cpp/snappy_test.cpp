#include "ldb_file/snappy.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "byte_builder.hpp"

// The largest single allocation made through operator new while a test
// watches, to show that a lying length header is refused before a buffer of
// that length is asked for. Replacing the global operator new affects the
// whole test program, and only records a number.
namespace {
std::atomic<bool> g_watching{false};
std::atomic<std::size_t> g_largest{0};

void* allocate(std::size_t size) {
    if (g_watching.load(std::memory_order_relaxed)) {
        std::size_t seen = g_largest.load(std::memory_order_relaxed);
        while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace tarnwick {
namespace {

using namespace test;

ByteVec raw_compress(const std::string& text) { return snappy_compress(bytes_of(text)); }

TEST(Snappy, RoundTrip) {
    for (const std::string& text : {std::string(), std::string("a"), std::string("hello hello hello hello hello")}) {
        const auto out = decompress_snappy(raw_compress(text));
        ASSERT_TRUE(out) << out.error().message();
        EXPECT_EQ(text_of(out->bytes()), text);
    }
}

// Long runs compress close to the format's best ratio; the guard against
// lying headers must still let them through.
TEST(Snappy, HighlyCompressedDataIsAccepted) {
    for (std::size_t size : {64u, 65u, 1000u, 65536u, 1u << 20, (1u << 22) + 7}) {
        const std::string text(size, '\0');
        const ByteVec compressed = raw_compress(text);
        const auto out = decompress_snappy(compressed);
        ASSERT_TRUE(out) << size << ": " << out.error().message();
        EXPECT_EQ(out->size(), size);
        EXPECT_LE(size, snappy_max_expansion(compressed.size()));
    }
    std::string pattern;
    for (int i = 0; i < 100000; ++i) pattern += "abcdefgh"[i % 8];
    const auto out = decompress_snappy(raw_compress(pattern));
    ASSERT_TRUE(out);
    EXPECT_EQ(text_of(out->bytes()), pattern);
}

TEST(Snappy, HugeClaimedLengthIsRefusedWithoutAllocating) {
    // A header claiming 2^32 - 1 bytes, followed by one literal byte.
    const ByteVec lying{0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00, 'x'};
    g_largest = 0;
    g_watching = true;
    const auto out = decompress_snappy(lying);
    g_watching = false;
    ASSERT_FALSE(out);
    EXPECT_TRUE(out.error().message().starts_with("Decompression error: ")) << out.error().message();
    EXPECT_LT(g_largest.load(), 1u << 20);
}

TEST(Snappy, InvalidInputIsAnError) {
    ByteVec truncated = raw_compress("hello hello hello hello hello");
    truncated.pop_back();
    for (const ByteVec& bad : {ByteVec{}, ByteVec{0x80}, ByteVec{0x05, 0x00}, truncated, bytes_of("plain text")}) {
        const auto out = decompress_snappy(bad);
        ASSERT_FALSE(out);
        EXPECT_TRUE(out.error().message().starts_with("Decompression error: ")) << out.error().message();
    }
}

}  // namespace
}  // namespace tarnwick
