// The history labels, checked against what the Python decoders' history
// module gives for the same record sequences (each expectation below is its
// output for the sequence, in the notation of these tables).
#include "chromium_store/version_labels.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "chromium_store/keyed_hash.hpp"
#include "chromium_store/seen_filter.hpp"

namespace tarnwick::chromium {
namespace {

// A record: its key (one letter), sequence number, state (L live, D deleted,
// U unknown) and, after '@', the index of its file: "a12D@1".
struct TestRecord {
    std::string key;
    std::uint64_t seq;
    KeyState state;
    RecordPlace place;
};

std::vector<TestRecord> parse(const std::string& text) {
    std::vector<TestRecord> out;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        TestRecord r;
        r.key = word.substr(0, 1);
        const std::size_t at = word.find('@');
        const std::string body = word.substr(1, at == std::string::npos ? std::string::npos : at - 1);
        r.seq = std::stoull(body.substr(0, body.size() - 1));
        const char state = body.back();
        r.state = state == 'L' ? KeyState::Live : state == 'D' ? KeyState::Deleted : KeyState::Unknown;
        // The offset tells records apart; equal offsets in one file are
        // possible (records of one table block), so it is not unique.
        r.place = {at == std::string::npos ? 0U : static_cast<std::uint32_t>(std::stoul(word.substr(at + 1))),
                   100U * out.size()};
        out.push_back(r);
    }
    return out;
}

// The verdicts in the tables' notation: a label's letter (Current,
// Superseded, last Before deletion, Deleted, Unknown), "-" for no row, and
// "D<seq>" for a row made at a value that stands for the deletion <seq>.
//
// `saturated`: the filter of keys met before is one block, filled first by
// keys of one record each, so that (nearly) every key of the sequence looks
// met before and keeps its first record too; the labels must not change.
std::string verdicts(const std::vector<TestRecord>& records, bool newest_only, bool saturated = false) {
    VersionLabels labels(newest_only, saturated ? 512 : SeenFilter::default_first_capacity,
                         saturated ? 1 : SeenFilter::default_bits_per_hash);
    const auto key = [](const TestRecord& r) {
        return Bytes(reinterpret_cast<const std::uint8_t*>(r.key.data()), r.key.size());
    };
    std::vector<std::string> fillers;
    for (int i = 0; saturated && i < 500; ++i) fillers.push_back("filler " + std::to_string(i));
    const auto bytes = [](const std::string& s) {
        return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    for (std::size_t i = 0; i < fillers.size(); ++i) {
        labels.learn(bytes(fillers[i]), 1'000'000 + i, KeyState::Live, {9, i});
    }
    for (const TestRecord& r : records) labels.learn(key(r), r.seq, r.state, r.place);
    labels.learned();
    for (std::size_t i = 0; i < fillers.size(); ++i) {
        const VersionVerdict v = labels.verdict(bytes(fillers[i]), 1'000'000 + i, KeyState::Live, {9, i});
        EXPECT_TRUE(v.emit && v.status == VersionStatus::Current) << fillers[i];
    }
    std::string out;
    for (const TestRecord& r : records) {
        const VersionVerdict v = labels.verdict(key(r), r.seq, r.state, r.place);
        if (!out.empty()) out += ' ';
        if (!v.emit) {
            out += '-';
            continue;
        }
        if (v.deletion_seq) {
            EXPECT_EQ(v.status, VersionStatus::Deleted);
            EXPECT_TRUE(v.deletion_place.has_value());
            // The deletion's place is that of its first copy.
            for (const TestRecord& d : records) {
                if (d.key == r.key && d.seq == *v.deletion_seq && d.state == KeyState::Deleted) {
                    EXPECT_EQ(v.deletion_place, d.place) << "deletion " << d.seq;
                    break;
                }
            }
            out += "D" + std::to_string(*v.deletion_seq);
            continue;
        }
        EXPECT_FALSE(v.deletion_place.has_value());
        switch (v.status) {
            case VersionStatus::Current: out += 'C'; break;
            case VersionStatus::Superseded: out += 'S'; break;
            case VersionStatus::LastBeforeDeletion: out += 'B'; break;
            case VersionStatus::Deleted: out += 'D'; break;
            case VersionStatus::Unknown: out += 'U'; break;
            case VersionStatus::None: out += '?'; break;
        }
    }
    return out;
}

struct LabelCase {
    const char* records;
    const char* history;
    const char* newest_only;
};

class VersionLabelsTable : public ::testing::TestWithParam<LabelCase> {};

TEST_P(VersionLabelsTable, AsTheHistoryModuleLabelsThem) {
    const LabelCase& c = GetParam();
    const auto records = parse(c.records);
    for (const bool saturated : {false, true}) {
        EXPECT_EQ(verdicts(records, false, saturated), c.history) << c.records << " saturated " << saturated;
        EXPECT_EQ(verdicts(records, true, saturated), c.newest_only) << c.records << " saturated " << saturated;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, VersionLabelsTable,
    ::testing::Values(
        // One record.
        LabelCase{"a1L", "C", "C"}, LabelCase{"a1D", "D", "D"}, LabelCase{"a1U", "U", "U"},
        // Overwritten, deleted, deleted and written again.
        LabelCase{"a1L a2L", "S C", "- C"}, LabelCase{"a1L a2D", "B D", "D2 -"},
        LabelCase{"a1L a2D a3L", "B D C", "- - C"}, LabelCase{"a1L a2D a3L a4D a5U", "B D B D U", "- - D4 - -"},
        LabelCase{"a1D a2D", "D D", "- D"},
        // A record in a log and in the table made from it is one version.
        LabelCase{"a1L@0 a1L@1", "C -", "C -"}, LabelCase{"a1U@0 a1U@1", "U -", "U -"},
        LabelCase{"a1L@0 a2L@0 a1L@1 a2L@1", "S C - -", "- C - -"},
        LabelCase{"a3D@0 a1L@1 a3D@1", "D B -", "- D3 -"}, LabelCase{"a2L@1 a2D@1 a2L@0", "C D -", "C - -"},
        LabelCase{"a1L@0 a1L@1 a2D@1", "B - D", "D2 - -"},
        LabelCase{"a2D@0 a1L@1 a1L@2 a2D@2", "D B - -", "- D2 - -"},
        LabelCase{"a3U a1L a2L a3U@1", "U S C -", "- - C -"},
        // Records come in file order, not in sequence order; the deletion may
        // come first, while its key still has one slot.
        LabelCase{"a9L a3L a5L", "C S S", "C - -"}, LabelCase{"a5D@0 a2L@1", "D B", "- D5"},
        // Unknown records are skipped over in the chain.
        LabelCase{"a1L a2U a3D", "B U D", "D3 - -"}, LabelCase{"a1U a2U", "U U", "- U"},
        LabelCase{"a1L a2U", "C U", "C -"}, LabelCase{"a1U a1L", "U C", "- C"},
        // A deletion sorts before a value of the same number.
        LabelCase{"a4L a4D", "C D", "C -"},
        // Keys are labelled apart.
        LabelCase{"a1L b2L a3L b4D", "S B C D", "- D4 C -"},
        // A sequence number too large for a slot (only a damaged log has one).
        LabelCase{"a4611686018427387904D a1L", "D B", "- D4611686018427387904"},
        LabelCase{"a4611686018427387904L", "C", "C"}));

// Many keys: the filter and the table grow many times while keys keep their
// records, with the filter as sized for stores (few keys look met before by
// chance) and tiny (most do, and the stages' false positives add up).
struct FilterSize {
    std::size_t first_capacity;
    unsigned bits_per_hash;
};

class VersionLabelsManyKeys : public ::testing::TestWithParam<FilterSize> {};

TEST_P(VersionLabelsManyKeys, KeepTheirOwnHistories) {
    for (const bool newest_only : {false, true}) {
        VersionLabels labels(newest_only, GetParam().first_capacity, GetParam().bits_per_hash);
        constexpr std::uint64_t keys = 50'000;
        const auto key_of = [](std::uint64_t k) { return "key " + std::to_string(k); };
        const auto bytes = [](const std::string& s) {
            return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
        };
        // Every key once; every seventh key again later, as a deletion.
        for (std::uint64_t k = 0; k < keys; ++k) labels.learn(bytes(key_of(k)), k + 1, KeyState::Live, {0, k});
        for (std::uint64_t k = 0; k < keys; k += 7) {
            labels.learn(bytes(key_of(k)), keys + k + 1, KeyState::Deleted, {1, k});
        }
        labels.learned();
        for (std::uint64_t k = 0; k < keys; ++k) {
            const VersionVerdict v = labels.verdict(bytes(key_of(k)), k + 1, KeyState::Live, {0, k});
            ASSERT_TRUE(v.emit) << k;
            if (k % 7 != 0) {
                ASSERT_EQ(v.status, VersionStatus::Current) << k;
            } else if (newest_only) {
                ASSERT_EQ(v.status, VersionStatus::Deleted) << k;
                ASSERT_EQ(v.deletion_seq, keys + k + 1) << k;
                ASSERT_EQ(v.deletion_place, (RecordPlace{1, k})) << k;
            } else {
                ASSERT_EQ(v.status, VersionStatus::LastBeforeDeletion) << k;
            }
        }
        for (std::uint64_t k = 0; k < keys; k += 7) {
            const VersionVerdict v = labels.verdict(bytes(key_of(k)), keys + k + 1, KeyState::Deleted, {1, k});
            ASSERT_EQ(v.emit, !newest_only) << k;
            if (!newest_only) {
                ASSERT_EQ(v.status, VersionStatus::Deleted) << k;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, VersionLabelsManyKeys,
                         ::testing::Values(FilterSize{SeenFilter::default_first_capacity, SeenFilter::default_bits_per_hash},
                                           FilterSize{64, 4}, FilterSize{1, 1}));

// A record the first pass never saw, or saw out of turn, is labelled by its
// own state.
TEST(VersionLabels, RecordsNotLearnedStandAlone) {
    const std::string a = "a";
    const Bytes key(reinterpret_cast<const std::uint8_t*>(a.data()), a.size());
    {
        VersionLabels labels(false);
        labels.learned();
        EXPECT_EQ(labels.verdict(key, 1, KeyState::Deleted, {}).status, VersionStatus::Deleted);
        EXPECT_TRUE(labels.verdict(key, 1, KeyState::Live, {}).emit);
    }
    {
        // Asked before the first pass ended, and learned after it.
        VersionLabels labels(true);
        labels.learn(key, 1, KeyState::Live, {});
        labels.learn(key, 2, KeyState::Live, {});
        EXPECT_EQ(labels.verdict(key, 1, KeyState::Live, {}).status, VersionStatus::Current);
        labels.learned();
        labels.learn(key, 3, KeyState::Live, {});
        EXPECT_FALSE(labels.verdict(key, 1, KeyState::Live, {}).emit);
        EXPECT_EQ(labels.verdict(key, 2, KeyState::Live, {}).status, VersionStatus::Current);
        EXPECT_EQ(labels.verdict(key, 3, KeyState::Live, {}).status, VersionStatus::Current);
    }
}

// SipHash-2-4 under the key 00 01 .. 0f, from the reference vectors of its
// authors: the message of n bytes 00 01 .. (n-1).
TEST(KeyedHash, ReferenceVectors) {
    HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    std::vector<std::uint8_t> message;
    for (std::uint8_t i = 0; i < 15; ++i) message.push_back(i);
    EXPECT_EQ(siphash24(key, Bytes(message).first(0)), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ(siphash24(key, Bytes(message)), 0xa129ca6149be45e5ULL);
    // Each table draws its own key.
    EXPECT_NE(random_hash_key().k0, random_hash_key().k0);
}

}  // namespace
}  // namespace tarnwick::chromium
