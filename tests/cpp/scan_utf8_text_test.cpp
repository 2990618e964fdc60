// Paths as UTF-8 text: invalid bytes replaced exactly as Python's
// bytes.decode("utf-8", "replace") does (the expected texts come from it).
#include "scan/utf8_text.hpp"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

struct Case {
    std::string_view bytes;
    std::string_view text;
};

class Utf8Text : public ::testing::TestWithParam<Case> {};

TEST_P(Utf8Text, ReplacesAsPythonDoes) { EXPECT_EQ(utf8_text(GetParam().bytes), GetParam().text); }

constexpr std::string_view R = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Text,
    ::testing::Values(Case{"abc", "abc"}, Case{"/tmp/\xE2\x82\xAC", "/tmp/\xE2\x82\xAC"}, Case{"\xFF", R},
                      Case{"a\xE2\x82", "a\xEF\xBF\xBD"},                                   // cut short
                      Case{"\xE0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},          // overlong
                      Case{"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},          // surrogate
                      Case{"\xF0\x9F\x98", "\xEF\xBF\xBD"},                                  // cut short
                      Case{"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // too high
                      Case{"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
                      Case{"\xE2\x82\xAC\xE2x", "\xE2\x82\xAC\xEF\xBF\xBDx"}));

}  // namespace
}  // namespace tarnwick
