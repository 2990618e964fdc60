#include "chromium_store/idb_coding.hpp"

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

// How the width byte of the key prefix packs the three id widths.
constexpr unsigned database_width_shift = 5;
constexpr unsigned object_store_width_shift = 2;
constexpr std::uint8_t object_store_width_mask = 7;
constexpr std::uint8_t index_width_mask = 3;
// The typed key path forms: two zero bytes, then the type.
constexpr std::size_t key_path_header = 3;
enum KeyPathType : std::uint8_t { key_path_null = 0, key_path_string = 1, key_path_array = 2 };
// An Int field is at most a 64-bit integer.
constexpr std::size_t max_int_bytes = 8;

std::uint64_t little_endian_bytes(const std::uint8_t* p, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = (value << 8) | p[i];
    return value;
}

Decoded<std::uint64_t> little_endian(ByteReader& cur, std::size_t width) {
    DECODE_TRY(raw, cur.take(width));
    return little_endian_bytes(raw.data(), raw.size());
}

}  // namespace

Decoded<IdbPrefix> read_idb_prefix(ByteReader& cur) {
    DECODE_TRY(widths, cur.byte());
    const std::size_t database_width = (widths >> database_width_shift) + 1u;
    const std::size_t store_width = ((widths >> object_store_width_shift) & object_store_width_mask) + 1u;
    const std::size_t index_width = (widths & index_width_mask) + 1u;
    // Every record's key starts with a prefix, so this is on the path of every
    // record of both passes: a whole prefix is read without a check per id.
    if (const std::size_t width = database_width + store_width + index_width; cur.remaining() >= width) {
        const std::uint8_t* at = cur.data().data() + cur.pos();
        const IdbPrefix p{little_endian_bytes(at, database_width), little_endian_bytes(at + database_width, store_width),
                          little_endian_bytes(at + database_width + store_width, index_width)};
        (void)cur.take(width);
        return p;
    }
    // Cut short: id by id, so that the error names the one that is.
    DECODE_TRY(database, little_endian(cur, database_width));
    DECODE_TRY(store, little_endian(cur, store_width));
    DECODE_TRY(index, little_endian(cur, index_width));
    return IdbPrefix{database, store, index};
}

Decoded<Bytes> read_counted_utf16(ByteReader& cur) {
    DECODE_TRY(units, cur.varint());
    if (units > cur.remaining()) {  // more than the bytes left, even before doubling
        return decode_error(std::to_string(units) + " UTF-16 code units wanted at byte " + std::to_string(cur.pos()) +
                            ", " + std::to_string(cur.remaining()) + " bytes left");
    }
    return cur.take(2 * units);
}

Decoded<std::uint64_t> idb_int(Bytes data) {
    if (data.empty() || data.size() > max_int_bytes) {
        return decode_error("an Int field of " + std::to_string(data.size()) + " bytes (1 to 8 expected)");
    }
    ByteReader cur(data);
    return little_endian(cur, data.size());
}

std::string wtf8_from_utf16be(Bytes code_units) {
    std::string out;
    out.reserve(code_units.size());
    const std::size_t n = code_units.size() / 2;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t unit = (std::uint32_t{code_units[2 * i]} << 8) | code_units[2 * i + 1];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < n) {
            const std::uint32_t low = (std::uint32_t{code_units[2 * i + 2]} << 8) | code_units[2 * i + 3];
            if (low >= 0xDC00 && low < 0xE000) {
                append_wtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        append_wtf8(out, unit);  // a lone surrogate keeps its three-byte form
    }
    return out;
}

void append_json_wtf8(std::string& out, std::string_view wtf8) {
    // Back to the code units it was made from, which the JSON writer takes as they are.
    std::string units;
    units.reserve(2 * wtf8.size());
    auto unit = [&](std::uint32_t u) {
        units += static_cast<char>(u >> 8);
        units += static_cast<char>(u & 0xFF);
    };
    for (std::size_t i = 0; i < wtf8.size();) {
        const auto lead = static_cast<std::uint8_t>(wtf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::uint32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        for (std::size_t k = 1; k < length && i + k < wtf8.size(); ++k) {
            cp = (cp << 6) | (static_cast<std::uint8_t>(wtf8[i + k]) & 0x3Fu);
        }
        i += length;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    append_json_utf16(out, Bytes(reinterpret_cast<const std::uint8_t*>(units.data()), units.size()), true);
}

Decoded<std::string> utf16be_json(Bytes data) {
    if (data.size() % 2 != 0) return decode_error("UTF-16 text of odd length " + std::to_string(data.size()));
    std::string out;
    append_json_utf16(out, data, true);
    return out;
}

Decoded<std::string> key_path_json(Bytes data) {
    if (data.size() < key_path_header || data[0] != 0 || data[1] != 0) return utf16be_json(data);
    ByteReader cur(data, key_path_header);
    std::string out;
    switch (data[2]) {
        case key_path_null: return std::string("null");
        case key_path_string: {
            DECODE_TRY(units, read_counted_utf16(cur));
            append_json_utf16(out, units, true);
            return out;
        }
        case key_path_array: {
            DECODE_TRY(count, cur.varint());
            if (count > cur.remaining()) {
                return decode_error("key path of " + std::to_string(count) + " parts in " +
                                    std::to_string(cur.remaining()) + " bytes");
            }
            out += '[';
            for (std::uint64_t i = 0; i < count; ++i) {
                DECODE_TRY(units, read_counted_utf16(cur));
                if (i > 0) out += ',';
                append_json_utf16(out, units, true);
            }
            out += ']';
            return out;
        }
        default: return decode_error("unknown key path type " + std::to_string(data[2]));
    }
}

}  // namespace tarnwick::chromium
