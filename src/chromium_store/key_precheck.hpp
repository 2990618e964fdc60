// A first look at a record's key bytes on behalf of the row filter.
//
// The filter compares each row's key, as JSON text, with the texts it was
// given, and each row's origin with a text the origin must contain. For the
// records that matter most both can be judged from the raw key alone, since a
// page's key lies in the record's key in a few byte forms that follow from
// the text:
//
//   Local Storage    00 and UTF-16LE code units, or 01 and Latin-1 bytes
//                    (and no bytes at all for the empty string)
//   Session Storage  UTF-8
//   IndexedDB        a string key: type 01, a varint count of code units and
//                    the UTF-16BE code units; a number key: type 03 and the
//                    little-endian double
//
// and a Local Storage data key holds its storage key, whose start is the
// row's origin. A record whose bytes hold none of the forms cannot give a row
// the filter keeps: it is passed over before anything is decoded, by both
// passes, so that the version labels keep nothing for its key either.
//
// The look is conservative: it may pass a record that the filter then
// refuses, never the other way round. Where a text's forms cannot be listed
// it passes every key of that store kind: "null" (the key of a row whose key
// could not be read), lists and objects (IndexedDB's array, date, binary and
// special keys), and any text that does not read as JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chromium_store/row_filter.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

// The UTF-16 code units of a JSON string literal (the whole text, quotes
// included), or nothing when the text is not one.
[[nodiscard]] std::optional<std::u16string> json_string_units(std::string_view text);

class KeyPrecheck {
   public:
    explicit KeyPrecheck(const RowFilter& filter);

    // Whether the look can refuse anything at all; when not, it need not be asked.
    [[nodiscard]] bool active() const noexcept { return data_only_ || keyed_ || origin_.has_value(); }
    // Only the page's data rows are wanted: a record of another kind is refused.
    [[nodiscard]] bool data_only() const noexcept { return data_only_; }

    // Whether a row whose key is these bytes, as the store kind writes a
    // page's key, could have a key the filter accepts. A key that fails to
    // decode gives a row whose key is null, which only an unconstrained text
    // accepts.
    //   script key of a Local Storage data key (format byte and text)
    [[nodiscard]] bool local_storage_key(Bytes script_key) const;
    //   script key of a Session Storage map key (UTF-8)
    [[nodiscard]] bool session_storage_key(Bytes script_key) const;
    //   an IndexedDB key as its records encode it (after the id prefix)
    [[nodiscard]] bool indexeddb_key(Bytes encoded_key) const;
    // Whether a key that will not be read (or whose form the caller cannot
    // see) could still be accepted: only when some text is unconstrained
    // for that kind of store.
    [[nodiscard]] bool any_local_storage_key() const noexcept { return !keyed_ || any_local_storage_; }
    [[nodiscard]] bool any_session_storage_key() const noexcept { return !keyed_ || any_session_storage_; }
    [[nodiscard]] bool any_indexeddb_key() const noexcept { return !keyed_ || any_indexeddb_; }

    // Whether a row whose origin starts a storage key of these bytes could
    // have an origin that contains the filter's origin text.
    [[nodiscard]] bool storage_key_origin(Bytes storage_key) const;

   private:
    bool data_only_ = false;
    bool keyed_ = false;
    bool any_local_storage_ = false;
    bool any_session_storage_ = false;
    bool any_indexeddb_ = false;
    // The byte forms of the texts, per store kind. IndexedDB's string keys
    // are kept as their bare UTF-16BE code units, since their count is a
    // varint that could be written long.
    std::vector<std::vector<std::uint8_t>> local_storage_;
    std::vector<std::vector<std::uint8_t>> session_storage_;
    std::vector<std::vector<std::uint8_t>> indexeddb_strings_;
    std::vector<std::uint64_t> indexeddb_numbers_;  // the doubles' bits
    std::optional<std::string> origin_;
};

}  // namespace tarnwick::chromium
