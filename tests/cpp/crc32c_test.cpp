// The two ways of running CRC-32C (slicing tables, the processor's
// instruction) against a plain bit-at-a-time CRC, over many lengths and
// alignments, with the checksum algebra built on them; and which way a
// processor gets.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "util/crc32c.hpp"

namespace tarnwick {
namespace {

using crc32c::Method;

// One bit at a time, straight from the polynomial: shares nothing with the
// code under test but kPolynomial.
std::uint32_t bitwise_crc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    std::uint32_t reg = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        reg ^= p[i];
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ crc32c::kPolynomial : reg >> 1;
    }
    return ~reg;
}

// The methods this build and processor can run: the tables always.
std::vector<Method> methods_here() {
    std::vector<Method> out{Method::Software};
    if (crc32c::method() == Method::Hardware) out.push_back(Method::Hardware);
    return out;
}

struct Stretch {
    std::size_t length;
    std::size_t misalign;  // bytes from an 8-byte boundary
    std::uint32_t seed;
};

class Crc32cMethods : public ::testing::TestWithParam<Stretch> {};

TEST_P(Crc32cMethods, AgreeWithTheBitwiseCrcAndItsAlgebra) {
    const Stretch s = GetParam();
    std::mt19937 rng(s.seed);
    std::vector<std::uint8_t> buffer(s.length + 16);
    for (auto& b : buffer) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 2 : rng());
    const std::uint8_t* data = buffer.data() + (8 - reinterpret_cast<std::uintptr_t>(buffer.data()) % 8) + s.misalign;
    const Bytes all(data, s.length);
    const std::uint32_t prior = rng();
    const std::uint32_t expected = bitwise_crc(0, data, s.length);
    const std::size_t split = s.length * 3 / 7;
    const Bytes head = all.first(split), tail = all.subspan(split);
    for (Method how : methods_here()) {
        SCOPED_TRACE(how == Method::Hardware ? "hardware" : "software");
        EXPECT_EQ(crc32c::extend(0, all, how), expected);
        EXPECT_EQ(crc32c::extend(prior, all, how), bitwise_crc(prior, data, s.length));
        const std::uint32_t crc_head = crc32c::extend(0, head, how), crc_tail = crc32c::extend(0, tail, how);
        EXPECT_EQ(crc32c::extend(crc_head, tail, how), expected);
        EXPECT_EQ(crc32c::combine(crc_head, crc_tail, tail.size()), expected);
        // Taking the tail back off: crc(head) = (crc(all) + crc(tail)) * x^(-8|tail|).
        EXPECT_EQ(crc32c::multiply(expected ^ crc_tail, crc32c::x_pow_minus_8n(tail.size())), crc_head);
    }
}

INSTANTIATE_TEST_SUITE_P(Stretches, Crc32cMethods,
                         ::testing::Values(Stretch{0, 0, 1}, Stretch{1, 0, 2}, Stretch{3, 5, 3}, Stretch{7, 1, 4},
                                           Stretch{8, 0, 5}, Stretch{9, 7, 6}, Stretch{15, 3, 7},
                                           Stretch{16, 2, 8}, Stretch{63, 6, 9}, Stretch{64, 0, 10},
                                           Stretch{1000, 4, 11}, Stretch{4096, 1, 12}, Stretch{65537, 5, 13}));

// The steps a hot loop is compiled with: each pair of steps gives the same
// register from the same register and bytes.
class Crc32cSteps : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(Crc32cSteps, HardwareStepsEqualTheTableSteps) {
#if defined(__x86_64__)
    if (crc32c::method() != Method::Hardware) GTEST_SKIP() << "this processor lacks the CRC-32C instruction";
    std::mt19937_64 rng(GetParam());
    for (int i = 0; i < 1000; ++i) {
        const auto reg = static_cast<std::uint32_t>(rng());
        const std::uint64_t word = rng();
        EXPECT_EQ(crc32c::HardwareSteps::step(reg, static_cast<std::uint8_t>(word)),
                  crc32c::SoftwareSteps::step(reg, static_cast<std::uint8_t>(word)));
        EXPECT_EQ(crc32c::HardwareSteps::step4(reg, static_cast<std::uint32_t>(word)),
                  crc32c::SoftwareSteps::step4(reg, static_cast<std::uint32_t>(word)));
        EXPECT_EQ(crc32c::HardwareSteps::step8(reg, word), crc32c::SoftwareSteps::step8(reg, word));
    }
#else
    GTEST_SKIP() << "no hardware steps on this architecture";
#endif
}

// The register at a byte inside a word, from the register before the word:
// what that many single steps give, by either kind of step, from registers
// and words whose bytes are often 0 or 1 (the bytes a carving pass stops at).
template <class Steps>
void expect_step_first_is_byte_steps(std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 500; ++i) {
        const auto reg = static_cast<std::uint32_t>(i % 3 == 0 ? rng() % 2 : rng());
        std::uint64_t word = rng();
        if (i % 2 == 0) word &= 0x0101010101010101ULL;
        std::uint32_t stepped = reg;
        for (unsigned count = 1; count <= 8; ++count) {
            stepped = crc32c::SoftwareSteps::step(stepped, static_cast<std::uint8_t>(word >> (8 * (count - 1))));
            EXPECT_EQ(crc32c::step_first<Steps>(reg, word, count), stepped) << count;
        }
    }
}

TEST_P(Crc32cSteps, StepFirstIsThatManyByteSteps) {
    expect_step_first_is_byte_steps<crc32c::SoftwareSteps>(GetParam());
#if defined(__x86_64__)
    if (crc32c::method() == Method::Hardware) expect_step_first_is_byte_steps<crc32c::HardwareSteps>(GetParam());
#endif
}

INSTANTIATE_TEST_SUITE_P(Seeds, Crc32cSteps, ::testing::Values(1u, 2u, 3u));

#if defined(__x86_64__)
// Whether the processor lists SSE 4.2 among its flags, as Linux reports them.
bool cpuinfo_lists_sse42() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            if (word == "sse4_2") return true;
        }
        return false;
    }
    return false;
}
#endif

struct Dispatch {
    const char* name;
    bool has_instruction;
    Method expected;
};

class Crc32cDispatch : public ::testing::TestWithParam<Dispatch> {};

TEST_P(Crc32cDispatch, ChoosesTheTablesWithoutTheInstruction) {
    EXPECT_EQ(crc32c::method_for(GetParam().has_instruction), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Processors, Crc32cDispatch,
                         ::testing::Values(Dispatch{"without", false, Method::Software},
                                           Dispatch{"with", true,
                                                    crc32c::kHardwareBuilt ? Method::Hardware : Method::Software}),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(Crc32cDispatch, ThisProcessMatchesWhatTheProcessorReports) {
#if defined(__x86_64__)
    EXPECT_EQ(crc32c::processor_has_instruction(), cpuinfo_lists_sse42());
#else
    EXPECT_FALSE(crc32c::processor_has_instruction());
#endif
    EXPECT_EQ(crc32c::method(), crc32c::method_for(crc32c::processor_has_instruction()));
}

}  // namespace
}  // namespace tarnwick
