// Local Storage and Session Storage records read into rows: the stores of a
// profile written by real headless Chromium (tests/fixtures/chromium), read
// through the readers, and hand-made records for damage that the browser
// does not write. The expected rows are what the Python decoders give for
// the same records (`tarnwick chromium --history --all-records`), plus the
// commit time that only the native Local Storage rows carry; the page's
// keys and values are the ones its script wrote (fixtures' oracle.json).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chromium_store/local_storage_commits.hpp"
#include "chromium_store/storage_key.hpp"
#include "chromium_store/store_interpreter.hpp"
#include "chromium_store/windows_time.hpp"
#include "store/db.hpp"

namespace tarnwick::chromium {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

// tests/fixtures/chromium, found from the test data file the build names
// (tests/cpp/data/chromium_values.tsv).
const std::filesystem::path fixtures =
    std::filesystem::path(TARNWICK_CHROMIUM_VALUES).parent_path().parent_path().parent_path() / "fixtures" /
    "chromium";

// A row's expected parts; nullptr where the row has none. A value_json that
// ends in "…<n>" is a long value: its first characters, then its length.
struct ExpectedParts {
    const char* record_type;
    const char* origin;
    const char* top_level_site;
    const char* storage_key;
    const char* namespace_id;
    const char* key_json;
    const char* value_json;
    const char* details;
    const char* error;
};

void expect_part(const std::optional<std::string>& actual, const char* expected, const char* what) {
    if (expected == nullptr) {
        EXPECT_FALSE(actual.has_value()) << what << ": " << actual.value_or("");
        return;
    }
    ASSERT_TRUE(actual.has_value()) << what << " missing, expected " << expected;
    const std::string_view e = expected;
    const std::size_t ellipsis = e.rfind("…");
    if (ellipsis != std::string_view::npos && std::string_view(what) == "value") {
        EXPECT_EQ(actual->substr(0, ellipsis), e.substr(0, ellipsis)) << what;
        EXPECT_EQ(actual->size(), std::stoull(std::string(e.substr(ellipsis + "…"sv.size())))) << what;
        return;
    }
    EXPECT_EQ(*actual, e) << what;
}

void expect_row(const DecodedRow& row, const ExpectedParts& e) {
    EXPECT_EQ(row.record_type, e.record_type);
    expect_part(row.origin, e.origin, "origin");
    expect_part(row.top_level_site, e.top_level_site, "top_level_site");
    expect_part(row.storage_key, e.storage_key, "storage_key");
    expect_part(row.namespace_id, e.namespace_id, "namespace");
    expect_part(row.key_json, e.key_json, "key");
    expect_part(row.value_json, e.value_json, "value");
    expect_part(row.details.object(), e.details, "details");
    expect_part(row.error, e.error, "error");
    EXPECT_EQ(row.database, std::nullopt);
    EXPECT_EQ(row.version_status, VersionStatus::None);  // the caller's to set
}

std::unique_ptr<StoreInterpreter> interpreter_for(StoreKind kind) {
    const StoreContext context{kind, std::nullopt, {}};
    return kind == StoreKind::LocalStorage ? make_local_storage_interpreter(context)
                                           : make_session_storage_interpreter(context);
}

// What describe() tells of a record without decoding its value must be
// what decode() says of it: filters decide on it.
void expect_description(StoreInterpreter& interpreter, const RecordView& record, const DecodedRow& decoded) {
    DecodedRow described;
    ASSERT_TRUE(interpreter.describe(record, described));
    EXPECT_EQ(described.record_type, decoded.record_type);
    EXPECT_EQ(described.origin, decoded.origin);
    EXPECT_EQ(described.top_level_site, decoded.top_level_site);
    EXPECT_EQ(described.storage_key, decoded.storage_key);
    EXPECT_EQ(described.namespace_id, decoded.namespace_id);
    EXPECT_EQ(described.key_json, decoded.key_json);
    EXPECT_EQ(described.value_json, std::nullopt);
}

// The store's records, each decoded after the first pass saw them all.
struct DecodedRecord {
    std::string file;
    std::uint64_t seq;
    KeyState state;
    DecodedRow row;
};

std::vector<DecodedRecord> decode_store(const std::filesystem::path& dir, StoreKind kind) {
    auto db = Db::open(dir.string());
    EXPECT_TRUE(db.has_value()) << dir;
    if (!db) return {};
    const std::vector<Record> records = db->records(false);
    auto interpreter = interpreter_for(kind);
    for (const Record& r : records) interpreter->learn(r.view());
    interpreter->learned();
    std::vector<DecodedRecord> out;
    for (const Record& r : records) {
        DecodedRecord d{std::filesystem::path(r.origin_file()).filename().string(), r.seq(), r.state(), {}};
        interpreter->decode(r.view(), d.row);
        expect_description(*interpreter, r.view(), d.row);
        out.push_back(std::move(d));
    }
    return out;
}

struct ExpectedRecord {
    const char* file;
    std::uint64_t seq;
    KeyState state;
    ExpectedParts parts;
};

#define COMMITTED(iso, us) "{\"committed\":\"" iso "\",\"committed_us\":" #us "}"
// The three commits of the profile's Local Storage: the first page load's
// (records 2 to 12), the cross-site frame's (13 to 15), the second load's
// (16 to 19). Each data record is dated by the META that ends its batch.
#define FIRST_COMMIT COMMITTED("2026-12-08T11:44:28.892887Z", 13441203868892887)
#define FRAME_COMMIT COMMITTED("2026-12-08T11:44:28.892910Z", 13441203868892910)
#define SECOND_COMMIT COMMITTED("2026-12-08T11:45:35.177811Z", 13441203935177811)

const ExpectedRecord profile_local_storage[] = {
    {"000004.log", 16, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"added_later\"", "\"late ✓\"", SECOND_COMMIT, {}}},
    {"000005.ldb", 9, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"to_overwrite\"", "\"first version\"", FIRST_COMMIT, {}}},
    {"000004.log", 17, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"to_overwrite\"", "\"second version\"", SECOND_COMMIT, {}}},
    {"000005.ldb", 8, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"to_delete\"", "\"doomed value\"", FIRST_COMMIT, {}}},
    {"000004.log", 18, KeyState::Deleted, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"to_delete\"", {}, SECOND_COMMIT, {}}},
    {"000005.ldb", 12, KeyState::Live, {"meta", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"http://127.0.0.1:60503\"", "{\"last_modified\":\"2026-12-08T11:44:28.892887Z\",\"last_modified_us\":13441203868892887,\"size_bytes\":70194}", {}, {}}},
    {"000004.log", 19, KeyState::Live, {"meta", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"http://127.0.0.1:60503\"", "{\"last_modified\":\"2026-12-08T11:45:35.177811Z\",\"last_modified_us\":13441203935177811,\"size_bytes\":70197}", {}, {}}},
    {"000005.ldb", 15, KeyState::Live, {"meta", "http://localhost:60503", "http://127.0.0.1", "http://localhost:60503/^0http://127.0.0.1", {}, "\"http://localhost:60503/^0http://127.0.0.1\"", "{\"last_modified\":\"2026-12-08T11:44:28.892910Z\",\"last_modified_us\":13441203868892910,\"size_bytes\":33}", {}, {}}},
    {"000005.ldb", 11, KeyState::Live, {"meta_access", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"http://127.0.0.1:60503\"", "{\"last_accessed\":\"2026-12-08T11:44:28.892887Z\",\"last_accessed_us\":13441203868892887}", {}, {}}},
    {"000005.ldb", 14, KeyState::Live, {"meta_access", "http://localhost:60503", "http://127.0.0.1", "http://localhost:60503/^0http://127.0.0.1", {}, "\"http://localhost:60503/^0http://127.0.0.1\"", "{\"last_accessed\":\"2026-12-08T11:44:28.892910Z\",\"last_accessed_us\":13441203868892910}", {}, {}}},
    {"000005.ldb", 1, KeyState::Live, {"version", {}, {}, {}, {}, "\"VERSION\"", "\"1\"", {}, {}}},
    {"000005.ldb", 2, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"ключ\"", "\"значение\"", FIRST_COMMIT, {}}},
    {"000005.ldb", 3, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"empty\"", "\"\"", FIRST_COMMIT, {}}},
    {"000005.ldb", 4, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"greeting\"", "\"hello\"", FIRST_COMMIT, {}}},
    {"000005.ldb", 5, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"json\"", "\"{\\\"a\\\":1,\\\"b\\\":[true,null,\\\"x\\\"]}\"", FIRST_COMMIT, {}}},
    {"000005.ldb", 6, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"latin1\"", "\"café crème\"", FIRST_COMMIT, {}}},
    {"000005.ldb", 7, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"long\"", "\"Line 0: the quick brown fox jumps over the lazy dog. Line 1…70002", FIRST_COMMIT, {}}},
    {"000005.ldb", 10, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503", {}, "\"unicode\"", "\"Grüße — 日本語 🦊 \"", FIRST_COMMIT, {}}},
    {"000005.ldb", 13, KeyState::Live, {"data", "http://localhost:60503", "http://127.0.0.1", "http://localhost:60503/^0http://127.0.0.1", {}, "\"framed\"", "\"inside a cross-site frame\"", FRAME_COMMIT, {}}},
};

#define TAB "84e7bd9a_fc76_47cc_a37c_4d27baa24e9c"
const ExpectedRecord profile_session_storage[] = {
    {"000003.log", 1, KeyState::Live, {"version", {}, {}, {}, {}, "\"version\"", "1", {}, {}}},
    {"000003.log", 2, KeyState::Live, {"namespace", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"http://127.0.0.1:60503/\"", "{\"map\":0}", {}, {}}},
    {"000003.log", 8, KeyState::Live, {"namespace", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"http://127.0.0.1:60503/\"", "{\"map\":0}", {}, {}}},
    {"000003.log", 11, KeyState::Deleted, {"namespace", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"http://127.0.0.1:60503/\"", {}, {}, {}}},
    {"000003.log", 3, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"a-key-with-dashes\"", "\"dash-value\"", "{\"map\":0}", {}}},
    {"000003.log", 12, KeyState::Deleted, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"a-key-with-dashes\"", {}, "{\"map\":0}", {}}},
    {"000003.log", 4, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_delete\"", "\"gone soon\"", "{\"map\":0}", {}}},
    {"000003.log", 10, KeyState::Deleted, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_delete\"", {}, "{\"map\":0}", {}}},
    {"000003.log", 5, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_keep\"", "\"session value\"", "{\"map\":0}", {}}},
    {"000003.log", 13, KeyState::Deleted, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_keep\"", {}, "{\"map\":0}", {}}},
    {"000003.log", 6, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_overwrite\"", "\"v1\"", "{\"map\":0}", {}}},
    {"000003.log", 9, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_overwrite\"", "\"v2\"", "{\"map\":0}", {}}},
    {"000003.log", 14, KeyState::Deleted, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_overwrite\"", {}, "{\"map\":0}", {}}},
    {"000003.log", 7, KeyState::Live, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_unicode\"", "\"Ωmega ✓\"", "{\"map\":0}", {}}},
    {"000003.log", 15, KeyState::Deleted, {"data", "http://127.0.0.1:60503", {}, "http://127.0.0.1:60503/", TAB, "\"s_unicode\"", {}, "{\"map\":0}", {}}},
};

// The hostile profile: keys with lone surrogates and a key that forges a
// report line, next to canaries that must come through unharmed.
#define HOSTILE_COMMIT COMMITTED("2026-12-09T03:07:56.023082Z", 13441259276023082)
const ExpectedRecord hostile_local_storage[] = {
    {"000003.log", 1, KeyState::Live, {"version", {}, {}, {}, {}, "\"VERSION\"", "\"1\"", {}, {}}},
    {"000003.log", 2, KeyState::Live, {"data", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"lone\\ud800\"", "\"lone high surrogate\"", HOSTILE_COMMIT, {}}},
    {"000003.log", 3, KeyState::Live, {"data", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"lone\\udbff\"", "\"another lone high surrogate\"", HOSTILE_COMMIT, {}}},
    {"000003.log", 4, KeyState::Live, {"data", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"canary:after\"", "\"after\"", HOSTILE_COMMIT, {}}},
    {"000003.log", 5, KeyState::Live, {"data", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"canary:before\"", "\"before\"", HOSTILE_COMMIT, {}}},
    {"000003.log", 6, KeyState::Live, {"data", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"value:lone\"", "\"v\\udc00\"", HOSTILE_COMMIT, {}}},
    {"000003.log", 7, KeyState::Live, {"data", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"x\\nindexeddb      https://bank.example / accounts / kv [data] \\\"balance\\\" = \\\"1,000,000 USD\\\"  (current, seq 5)\\n\"", "\"a key that forges a report line\"", HOSTILE_COMMIT, {}}},
    {"000003.log", 8, KeyState::Live, {"meta_access", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"http://127.0.0.1:40619\"", "{\"last_accessed\":\"2026-12-09T03:07:56.023082Z\",\"last_accessed_us\":13441259276023082}", {}, {}}},
    {"000003.log", 9, KeyState::Live, {"meta", "http://127.0.0.1:40619", {}, "http://127.0.0.1:40619", {}, "\"http://127.0.0.1:40619\"", "{\"last_modified\":\"2026-12-09T03:07:56.023082Z\",\"last_modified_us\":13441259276023082,\"size_bytes\":266}", {}, {}}},
};

const ExpectedRecord hostile_session_storage[] = {
    {"000003.log", 1, KeyState::Live, {"version", {}, {}, {}, {}, "\"version\"", "1", {}, {}}},
};

struct FixtureStore {
    const char* name;
    const char* dir;  // under tests/fixtures/chromium
    StoreKind kind;
    std::span<const ExpectedRecord> expected;
};

class FixtureStores : public ::testing::TestWithParam<FixtureStore> {};

// Every record of the store makes exactly the row the Python decoders make
// of it (and Local Storage's data rows their commit time).
TEST_P(FixtureStores, RowsAsThePythonDecodersGiveThem) {
    const FixtureStore& store = GetParam();
    const auto decoded = decode_store(fixtures / store.dir, store.kind);
    ASSERT_EQ(decoded.size(), store.expected.size());
    for (const ExpectedRecord& e : store.expected) {
        SCOPED_TRACE(std::string(e.file) + " seq " + std::to_string(e.seq));
        const auto found = std::ranges::find_if(decoded, [&e](const DecodedRecord& d) {
            return d.file == e.file && d.seq == e.seq && d.state == e.state;
        });
        ASSERT_NE(found, decoded.end());
        expect_row(found->row, e.parts);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, FixtureStores,
    ::testing::Values(FixtureStore{"LocalStorage", "profile/Local Storage/leveldb", StoreKind::LocalStorage,
                                   profile_local_storage},
                      FixtureStore{"SessionStorage", "profile/Session Storage", StoreKind::SessionStorage,
                                   profile_session_storage},
                      FixtureStore{"HostileLocalStorage", "hostile/profile/Local Storage/leveldb",
                                   StoreKind::LocalStorage, hostile_local_storage},
                      FixtureStore{"HostileSessionStorage", "hostile/profile/Session Storage",
                                   StoreKind::SessionStorage, hostile_session_storage}),
    [](const ::testing::TestParamInfo<FixtureStore>& store) { return std::string(store.param.name); });

// Records the browser does not write: damaged or forged keys and values,
// each with sequence number = its index + 1. A part the Python decoders
// could not read as UTF-8 has the native reason (theirs names the Python
// exception); every other text is theirs.
struct DamageCase {
    std::string_view key;
    std::string_view value;
    KeyState state;
    ExpectedParts parts;
};

const DamageCase local_storage_damage[] = {
    {"VERSION"sv, "\xff""1"sv, KeyState::Live, {"version", {}, {}, {}, {}, "\"VERSION\"", {}, {}, "UnicodeDecodeError: 'ascii' codec can't decode byte 0xff in position 0: ordinal not in range(128)"}},
    {"VERSION"sv, ""sv, KeyState::Deleted, {"version", {}, {}, {}, {}, "\"VERSION\"", {}, {}, {}}},
    {"META:http://a.test"sv, "\x18""\x01"""sv, KeyState::Live, {"meta", "http://a.test", {}, "http://a.test", {}, "\"http://a.test\"", {}, {}, "metadata without its time field"}},
    {"META:http://a.test"sv, "\x10""\x05"""sv, KeyState::Live, {"meta", "http://a.test", {}, "http://a.test", {}, "\"http://a.test\"", {}, {}, "metadata without its time field"}},
    {"META:http://a.test"sv, "\x08""\x01""\x10""\x05"""sv, KeyState::Live, {"meta", "http://a.test", {}, "http://a.test", {}, "\"http://a.test\"", "{\"last_modified\":\"1601-01-01T00:00:00.000001Z\",\"last_modified_us\":1,\"size_bytes\":5}", {}, {}}},
    {"META:http://a.test"sv, "\x08""\xff""\xff""\xff""\xff""\xff""\xff""\xff""\xff""\xff""\x01""\x12""\x00"""sv, KeyState::Live, {"meta", "http://a.test", {}, "http://a.test", {}, "\"http://a.test\"", "{\"last_modified\":\"1600-12-31T23:59:59.999999Z\",\"last_modified_us\":-1,\"size_bytes\":null}", {}, {}}},
    {"META:http://a.test"sv, ""sv, KeyState::Deleted, {"meta", "http://a.test", {}, "http://a.test", {}, "\"http://a.test\"", {}, {}, {}}},
    {"META:http://\xff"".test"sv, "\x08""\x01"""sv, KeyState::Live, {"meta", {}, {}, {}, {}, {}, {}, {}, "storage key is not valid UTF-8"}},
    {"METAACCESS:https://b.test/^0https://c.test^31"sv, "\x09""\x01""\x00""\x00""\x00""\x00""\x00""\x00""\x00"""sv, KeyState::Live, {"meta_access", "https://b.test", "https://c.test", "https://b.test/^0https://c.test^31", {}, "\"https://b.test/^0https://c.test^31\"", "{\"last_accessed\":\"1601-01-01T00:00:00.000001Z\",\"last_accessed_us\":1}", {}, {}}},
    {"METAACCESS:https://b.test"sv, "\x08"""sv, KeyState::Live, {"meta_access", "https://b.test", {}, "https://b.test", {}, "\"https://b.test\"", {}, {}, "unexpected end of data at byte 1"}},
    {"_http://a.test"sv, "\x01""x"sv, KeyState::Live, {"data", {}, {}, {}, {}, {}, {}, {}, "data key without the 00 after its storage key"}},
    {"_http://a.test\x00""\x02""k"sv, "\x00""abc"sv, KeyState::Live, {"data", "http://a.test", {}, "http://a.test", {}, {}, {}, {}, "key: unknown string format byte 0x02; value: UTF-16 text of odd length 3"}},
    {"_http://a.test\x00""\x01""k"sv, "\x00""a\x00"""sv, KeyState::Unknown, {"data", "http://a.test", {}, "http://a.test", {}, "\"k\"", "\"a\"", {}, {}}},
    {"_http://a.test\x00"""sv, ""sv, KeyState::Live, {"data", "http://a.test", {}, "http://a.test", {}, "\"\"", "\"\"", {}, {}}},
    {"_http://\xc0""\xaf""\x00""\x01""k"sv, "\x01""v"sv, KeyState::Live, {"data", {}, {}, {}, {}, {}, {}, {}, "storage key is not valid UTF-8"}},
    {"_http://a.test\x00""\x00""\x00""\xd8"""sv, ""sv, KeyState::Deleted, {"data", "http://a.test", {}, "http://a.test", {}, "\"\\ud800\"", {}, {}, {}}},
    {"zzz"sv, ""sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "key of no known Local Storage kind"}},
    {""sv, ""sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "key of no known Local Storage kind"}},
};
const DamageCase session_storage_damage[] = {
    {"version"sv, "0012"sv, KeyState::Live, {"version", {}, {}, {}, {}, "\"version\"", "12", {}, {}}},
    {"next-map-id"sv, "x1"sv, KeyState::Live, {"next-map-id", {}, {}, {}, {}, "\"next-map-id\"", {}, {}, "decimal number expected, found b'x1'"}},
    {"next-map-id"sv, ""sv, KeyState::Live, {"next-map-id", {}, {}, {}, {}, "\"next-map-id\"", {}, {}, "decimal number expected, found b''"}},
    {"version"sv, ""sv, KeyState::Deleted, {"version", {}, {}, {}, {}, "\"version\"", {}, {}, {}}},
    {"namespace-"sv, ""sv, KeyState::Live, {"namespace_marker", {}, {}, {}, {}, "\"\"", {}, {}, {}}},
    {"namespace-short"sv, ""sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "namespace key without a 36-character session id and '-'"}},
    {"namespace-0123456789abcdef0123456789abcdef0123-"sv, ""sv, KeyState::Live, {"namespace_marker", {}, {}, {}, "0123456789abcdef0123456789abcdef0123", "\"0123456789abcdef0123456789abcdef0123\"", {}, {}, {}}},
    {"namespace-0123456789abcdef0123456789abcdef0123-http://a.test/"sv, "7"sv, KeyState::Live, {"namespace", "http://a.test", {}, "http://a.test/", "0123456789abcdef0123456789abcdef0123", "\"http://a.test/\"", "{\"map\":7}", {}, {}}},
    {"namespace-ffffffff-0000-0000-0000-000000000000-http://b.test/^0http://c.test"sv, "007"sv, KeyState::Live, {"namespace", "http://b.test", "http://c.test", "http://b.test/^0http://c.test", "ffffffff-0000-0000-0000-000000000000", "\"http://b.test/^0http://c.test\"", "{\"map\":7}", {}, {}}},
    {"namespace-0123456789abcdef0123456789abcdef0123-http://a.test/"sv, ""sv, KeyState::Deleted, {"namespace", "http://a.test", {}, "http://a.test/", "0123456789abcdef0123456789abcdef0123", "\"http://a.test/\"", {}, {}, {}}},
    {"namespace-0123456789abcdef0123456789abcdef0123-http://d.test/"sv, "'x\""sv, KeyState::Live, {"namespace", "http://d.test", {}, "http://d.test/", "0123456789abcdef0123456789abcdef0123", "\"http://d.test/\"", {}, {}, "decimal number expected, found b'\\'x\"'"}},
    {"namespace-0123456789abcdef0123456789abcdef012\xe9""-http://a.test/"sv, "7"sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "UnicodeDecodeError: 'ascii' codec can't decode byte 0xe9 in position 35: ordinal not in range(128)"}},
    {"namespace-0123456789abcdef0123456789abcdef0123-http://\xff""/"sv, "7"sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "storage key is not valid UTF-8"}},
    {"map-7-"sv, "2"sv, KeyState::Live, {"map_refcount", {}, {}, {}, {}, "\"7\"", "2", "{\"map\":7}", {}}},
    {"map-7-k\xe2""\x9c""\x93"""sv, "v\x00"""sv, KeyState::Live, {"data", "http://a.test", {}, "http://a.test/", "0123456789abcdef0123456789abcdef0123,ffffffff-0000-0000-0000-000000000000", "\"k\u2713\"", "\"v\"", "{\"map\":7,\"storage_keys\":[\"http://a.test/\",\"http://b.test/^0http://c.test\"]}", {}}},
    {"map-07-\xff"""sv, "v"sv, KeyState::Live, {"data", "http://a.test", {}, "http://a.test/", "0123456789abcdef0123456789abcdef0123,ffffffff-0000-0000-0000-000000000000", {}, {}, "{\"map\":7,\"storage_keys\":[\"http://a.test/\",\"http://b.test/^0http://c.test\"]}", "key: script key is not valid UTF-8; value: UTF-16 text of odd length 1"}},
    {"map-8-k"sv, "v\x00"""sv, KeyState::Live, {"data", {}, {}, {}, {}, "\"k\"", "\"v\"", "{\"map\":8}", {}}},
    {"map-x-k"sv, "v\x00"""sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "decimal number expected, found b'x'"}},
    {"map-9"sv, ""sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "map key without '-' after its number"}},
    {"map-7-k"sv, ""sv, KeyState::Deleted, {"data", "http://a.test", {}, "http://a.test/", "0123456789abcdef0123456789abcdef0123,ffffffff-0000-0000-0000-000000000000", "\"k\"", {}, "{\"map\":7,\"storage_keys\":[\"http://a.test/\",\"http://b.test/^0http://c.test\"]}", {}}},
    {"foo"sv, ""sv, KeyState::Live, {"unknown", {}, {}, {}, {}, {}, {}, {}, "key of no known Session Storage kind"}},
};

void expect_damage_rows(StoreKind kind, std::span<const DamageCase> cases) {
    const SharedPath path("damaged.log");
    auto interpreter = interpreter_for(kind);
    const auto view = [&path](const DamageCase& c, std::uint64_t seq) {
        return RecordView{Bytes(reinterpret_cast<const std::uint8_t*>(c.key.data()), c.key.size()),
                          Bytes(reinterpret_cast<const std::uint8_t*>(c.value.data()), c.value.size()),
                          seq, c.state, FileKind::Log, path, 0, false};
    };
    for (std::size_t i = 0; i < cases.size(); ++i) interpreter->learn(view(cases[i], i + 1));
    interpreter->learned();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i + 1));
        DecodedRow row;
        interpreter->decode(view(cases[i], i + 1), row);
        expect_row(row, cases[i].parts);
        expect_description(*interpreter, view(cases[i], i + 1), row);
    }
}

TEST(LocalStorageInterpreter, DamagedRecordsCostOnlyTheirOwnParts) {
    expect_damage_rows(StoreKind::LocalStorage, local_storage_damage);
}

TEST(SessionStorageInterpreter, DamagedRecordsCostOnlyTheirOwnParts) {
    expect_damage_rows(StoreKind::SessionStorage, session_storage_damage);
}

// A data record takes the time of the META version that closes its batch:
// none when that META is a deletion or unreadable, or when no META follows.
TEST(LocalStorageCommits, EachRecordTakesTheMetaThatClosesItsBatch) {
    const SharedPath path("000003.log");
    const std::string key = "META:http://a.test";
    const std::string good = "\x08\x01"s;       // last_modified 1 µs after 1601
    const std::string damaged = "\x08\x80"s;    // its varint cut short
    struct Meta {
        std::uint64_t seq;
        KeyState state;
        const std::string& value;
    };
    const std::string none;
    const Meta metas[] = {{2, KeyState::Deleted, none}, {4, KeyState::Live, damaged},
                          {6, KeyState::Live, damaged}, {6, KeyState::Live, good}};
    LocalStorageCommits commits;
    for (const Meta& m : metas) {
        commits.learn(RecordView{Bytes(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()),
                                 Bytes(reinterpret_cast<const std::uint8_t*>(m.value.data()), m.value.size()),
                                 m.seq, m.state, FileKind::Log, path, 0, false});
    }
    commits.learned();
    const std::pair<std::uint64_t, std::optional<std::int64_t>> expected[] = {
        {1, std::nullopt}, {2, std::nullopt}, {3, std::nullopt}, {5, 1}, {6, 1}, {7, std::nullopt}};
    for (const auto& [seq, time] : expected) {
        const CommitTime* found = commits.commit_time("http://a.test", seq);
        EXPECT_EQ(found != nullptr, time.has_value()) << seq;
        if (found != nullptr && time) {
            EXPECT_EQ(found->us, *time) << seq;
            EXPECT_EQ(found->iso_json, R"("1601-01-01T00:00:00.000001Z")") << seq;
        }
    }
    EXPECT_EQ(commits.commit_time("http://b.test", 5), nullptr);
}

struct StorageKeyCase {
    const char* text;
    const char* origin;
    const char* top_level_site;
};

class StorageKeys : public ::testing::TestWithParam<StorageKeyCase> {};

TEST_P(StorageKeys, OriginAndTopLevelSite) {
    const StorageKeyCase& c = GetParam();
    const StorageKeyParts parts = parse_storage_key(c.text);
    EXPECT_EQ(parts.origin, c.origin);
    if (c.top_level_site == nullptr) {
        EXPECT_FALSE(parts.top_level_site.has_value());
    } else {
        EXPECT_EQ(parts.top_level_site, c.top_level_site);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StorageKeys,
    ::testing::Values(StorageKeyCase{"https://a.test", "https://a.test", nullptr},
                      StorageKeyCase{"https://a.test/", "https://a.test", nullptr},
                      StorageKeyCase{"https://a.test//", "https://a.test", nullptr},
                      StorageKeyCase{"https://a.test/^0https://b.test", "https://a.test", "https://b.test"},
                      // The older cross-site shape, and attributes after the site.
                      StorageKeyCase{"https://a.test/^0https://b.test^31", "https://a.test", "https://b.test"},
                      StorageKeyCase{"https://a.test/^112^25", "https://a.test", nullptr},
                      // The last ^0 counts, as later attributes replace earlier ones.
                      StorageKeyCase{"https://a.test/^0x^0y", "https://a.test", "y"},
                      StorageKeyCase{"https://a.test/^0", "https://a.test", ""},
                      StorageKeyCase{"^^0s", "", "s"}));

struct TimeCase {
    std::int64_t us;
    const char* iso;
};

class WindowsTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(WindowsTimes, AsIsoText) {
    const TimeCase& c = GetParam();
    const auto iso = windows_us_iso(c.us);
    if (c.iso == nullptr) {
        EXPECT_FALSE(iso.has_value()) << *iso;
    } else {
        EXPECT_EQ(iso, c.iso);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, WindowsTimes,
    ::testing::Values(TimeCase{13441203868892887, "2026-12-08T11:44:28.892887Z"},
                      TimeCase{13441203868892000, "2026-12-08T11:44:28.892Z"},
                      TimeCase{windows_to_unix_us, "1970-01-01T00:00:00.000Z"},
                      TimeCase{windows_to_unix_us - 1, "1969-12-31T23:59:59.999999Z"},
                      TimeCase{0, "1601-01-01T00:00:00.000Z"}, TimeCase{-1, "1600-12-31T23:59:59.999999Z"},
                      TimeCase{windows_to_unix_us + 8'640'000'000'000'000'000, "+275760-09-13T00:00:00.000Z"},
                      TimeCase{windows_to_unix_us + 8'640'000'000'000'000'001, nullptr},
                      TimeCase{std::numeric_limits<std::int64_t>::min(), nullptr},
                      TimeCase{std::numeric_limits<std::int64_t>::max(), nullptr}));

}  // namespace
}  // namespace tarnwick::chromium
