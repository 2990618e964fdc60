#include "chromium_decode/host_object.hpp"

#include <array>
#include <cstdio>
#include <string_view>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

// Host object tags.
constexpr std::uint8_t host_blob_index = 'i';
constexpr std::uint8_t host_file_index = 'e';
constexpr std::uint8_t host_file_list_index = 'L';
constexpr std::uint8_t host_blob = 'b';
constexpr std::uint8_t host_dom_exception = 'x';
constexpr std::uint8_t host_crypto_key = 'K';

// Geometry objects: a name and how many doubles follow (points x y z w, rects
// x y width height, quads four points, matrices m11..m44 or, for 2-D ones,
// a b c d e f).
struct Geometry {
    std::uint8_t tag;
    std::string_view name;
    unsigned values;
    bool matrix;
};
constexpr std::array<Geometry, 9> geometries{{
    {'Q', "DOMPoint", 4, false},
    {'W', "DOMPointReadOnly", 4, false},
    {'E', "DOMRect", 4, false},
    {'R', "DOMRectReadOnly", 4, false},
    {'T', "DOMQuad", 16, false},
    {'Y', "DOMMatrix", 16, true},
    {'U', "DOMMatrixReadOnly", 16, true},
    {'I', "DOMMatrix", 6, true},
    {'O', "DOMMatrixReadOnly", 6, true},
}};
constexpr unsigned matrix_2d_values = 6;

// CryptoKey: a sub-tag byte saying which parameters follow, then the usages
// bitmask (bit 0: extractable, bits 1..8 the usages) and the key data.
enum CryptoKind : std::uint8_t { crypto_aes = 1, crypto_hmac = 2, crypto_rsa_hashed = 4, crypto_ec = 5, crypto_no_params = 6 };
constexpr std::uint64_t crypto_extractable_bit = 1;
constexpr std::array<std::string_view, 8> crypto_usages{"encrypt", "decrypt",  "sign",      "verify",
                                                        "deriveKey", "wrapKey", "unwrapKey", "deriveBits"};

std::string_view crypto_algorithm(std::uint64_t id) {
    switch (id) {
        case 1: return "AES-CBC";
        case 2: return "HMAC";
        case 3: return "RSASSA-PKCS1-v1_5";
        case 5: return "SHA-1";
        case 6: return "SHA-256";
        case 7: return "SHA-384";
        case 8: return "SHA-512";
        case 9: return "AES-GCM";
        case 10: return "RSA-OAEP";
        case 11: return "AES-CTR";
        case 12: return "AES-KW";
        case 13: return "RSA-PSS";
        case 14: return "ECDSA";
        case 15: return "ECDH";
        case 16: return "HKDF";
        case 17: return "PBKDF2";
        default: return {};
    }
}
std::string_view crypto_key_type(std::uint64_t id) { return id == 1 ? "public" : id == 2 ? "private" : ""; }
std::string_view crypto_curve(std::uint64_t id) {
    return id == 1 ? "P-256" : id == 2 ? "P-384" : id == 3 ? "P-521" : "";
}

// A name from one of the tables, or the number itself when it has none.
void append_named(std::string& out, std::string_view name, std::uint64_t id) {
    if (name.empty()) {
        out += std::to_string(id);
    } else {
        append_json_ascii(out, name);
    }
}

Decoded<void> append_utf8_field(ByteReader& cur, Budget& budget, std::string& out) {
    DECODE_TRY(n, cur.varint());
    DECODE_TRY(raw, cur.take(n));
    if (auto r = budget.charge(n, "a string"); !r) return r;
    if (!append_json_utf8(out, raw)) return decode_error("UTF-8 string: not valid UTF-8");
    return {};
}

Decoded<void> append_doubles(ByteReader& cur, unsigned count, std::string& out) {
    out += '[';
    for (unsigned i = 0; i < count; ++i) {
        DECODE_TRY(x, cur.double_le());
        if (i > 0) out += ',';
        append_json_number(out, x);
    }
    out += ']';
    return {};
}

Decoded<void> append_hex_field(ByteReader& cur, Budget& budget, std::string& out) {
    DECODE_TRY(n, cur.varint());
    DECODE_TRY(raw, cur.take(n));
    if (auto r = budget.charge(2 * raw.size(), "a key"); !r) return r;
    append_json_hex(out, raw);
    return {};
}

Decoded<void> append_crypto_key(ByteReader& cur, Budget& budget, std::string& out) {
    DECODE_TRY(sub, cur.byte());
    std::string_view kind;
    switch (sub) {
        case crypto_aes: kind = "aes"; break;
        case crypto_hmac: kind = "hmac"; break;
        case crypto_rsa_hashed: kind = "rsa_hashed"; break;
        case crypto_ec: kind = "ec"; break;
        case crypto_no_params: kind = "no_params"; break;
        default: return decode_error("unknown CryptoKey sub-tag " + std::to_string(sub));
    }
    out += R"({"$host":"CryptoKey","key_kind":)";
    append_json_ascii(out, kind);
    if (sub == crypto_aes) {
        DECODE_TRY(algorithm, cur.varint());
        DECODE_TRY(length, cur.varint());
        out += R"(,"algorithm":)";
        append_named(out, crypto_algorithm(algorithm), algorithm);
        out += R"(,"length_bits":)" + std::to_string(length * 8);
    } else if (sub == crypto_hmac) {
        DECODE_TRY(length, cur.varint());
        DECODE_TRY(hash, cur.varint());
        out += R"(,"length_bits":)" + std::to_string(length * 8);
        out += R"(,"hash":)";
        append_named(out, crypto_algorithm(hash), hash);
    } else if (sub == crypto_rsa_hashed) {
        DECODE_TRY(algorithm, cur.varint());
        DECODE_TRY(key_type, cur.varint());
        DECODE_TRY(modulus_bits, cur.varint());
        out += R"(,"algorithm":)";
        append_named(out, crypto_algorithm(algorithm), algorithm);
        out += R"(,"key_type":)";
        append_named(out, crypto_key_type(key_type), key_type);
        out += R"(,"modulus_bits":)" + std::to_string(modulus_bits);
        out += R"(,"public_exponent":)";
        if (auto r = append_hex_field(cur, budget, out); !r) return r;
        DECODE_TRY(hash, cur.varint());
        out += R"(,"hash":)";
        append_named(out, crypto_algorithm(hash), hash);
    } else if (sub == crypto_ec) {
        DECODE_TRY(algorithm, cur.varint());
        DECODE_TRY(key_type, cur.varint());
        DECODE_TRY(curve, cur.varint());
        out += R"(,"algorithm":)";
        append_named(out, crypto_algorithm(algorithm), algorithm);
        out += R"(,"key_type":)";
        append_named(out, crypto_key_type(key_type), key_type);
        out += R"(,"named_curve":)";
        append_named(out, crypto_curve(curve), curve);
    } else {
        DECODE_TRY(algorithm, cur.varint());
        out += R"(,"algorithm":)";
        append_named(out, crypto_algorithm(algorithm), algorithm);
    }
    DECODE_TRY(usages, cur.varint());
    out += R"(,"extractable":)";
    out += (usages & crypto_extractable_bit) != 0 ? "true" : "false";
    out += R"(,"usages":[)";
    bool first = true;
    for (std::size_t i = 0; i < crypto_usages.size(); ++i) {
        if (((usages >> (i + 1)) & 1) == 0) continue;
        if (!first) out += ',';
        first = false;
        append_json_ascii(out, crypto_usages[i]);
    }
    out += R"(],"hex":)";
    if (auto r = append_hex_field(cur, budget, out); !r) return r;
    out += '}';
    return {};
}

void append_missing_external(std::string& out, std::uint64_t index) {
    out += R"({"index":)" + std::to_string(index) + R"(,"missing":true})";
}

}  // namespace

Decoded<void> append_host_object(ByteReader& cur, std::uint8_t tag, Budget& budget, std::string& out) {
    if (tag == host_blob_index || tag == host_file_index) {
        DECODE_TRY(index, cur.varint());
        out += tag == host_blob_index ? R"({"$blob":)" : R"({"$file":)";
        append_missing_external(out, index);
        out += '}';
        return {};
    }
    if (tag == host_file_list_index) {
        DECODE_TRY(count, cur.varint());
        if (count > cur.remaining()) {
            return decode_error("file list of " + std::to_string(count) + " in " + std::to_string(cur.remaining()) +
                                " bytes");
        }
        if (auto r = budget.charge(value_cost * count, "a file list"); !r) return r;
        out += R"({"$filelist":[)";
        for (std::uint64_t i = 0; i < count; ++i) {
            DECODE_TRY(index, cur.varint());
            if (i > 0) out += ',';
            append_missing_external(out, index);
        }
        out += "]}";
        return {};
    }
    if (tag == host_blob) {
        out += R"({"$blob":{"uuid":)";
        if (auto r = append_utf8_field(cur, budget, out); !r) return r;
        out += R"(,"type":)";
        if (auto r = append_utf8_field(cur, budget, out); !r) return r;
        DECODE_TRY(size, cur.varint());
        out += R"(,"size":)" + std::to_string(size) + "}}";
        return {};
    }
    if (tag == host_dom_exception) {
        out += R"({"$host":"DOMException","name":)";
        if (auto r = append_utf8_field(cur, budget, out); !r) return r;
        out += R"(,"message":)";
        if (auto r = append_utf8_field(cur, budget, out); !r) return r;
        // The stack is written empty today; kept should a later version fill it.
        std::string stack;
        if (auto r = append_utf8_field(cur, budget, stack); !r) return r;
        if (stack != "\"\"") out += R"(,"stack":)" + stack;
        out += '}';
        return {};
    }
    for (const auto& g : geometries) {
        if (g.tag != tag) continue;
        out += R"({"$host":)";
        append_json_ascii(out, g.name);
        if (g.matrix) out += g.values == matrix_2d_values ? R"(,"is_2d":true)" : R"(,"is_2d":false)";
        out += R"(,"values":)";
        if (auto r = append_doubles(cur, g.values, out); !r) return r;
        out += '}';
        return {};
    }
    if (tag == host_crypto_key) return append_crypto_key(cur, budget, out);
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", tag);
    return decode_error(std::string("unsupported Blink host object tag ") + hex);
}

}  // namespace tarnwick::chromium
