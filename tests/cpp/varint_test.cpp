#include "varint/varint.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwick {
namespace {

TEST(Varint, DecodesSmallValues) {
    const std::vector<std::uint8_t> bytes{0x96, 0x01};
    const auto v = decode_varint32(bytes, 0);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->value, 150u);
    EXPECT_EQ(v->length, 2u);
}

}  // namespace
}  // namespace tarnwick
