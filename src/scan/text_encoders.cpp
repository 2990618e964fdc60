// The line encoders. Each record is written into a per-thread scratch area
// sized for the worst case first (every byte escaped), then appended to the
// output in one copy: the inner loops then never check for room. A file's
// path is the same for millions of records, so its three renderings are made
// once per file and reused while the path stays the same.
#include "scan/text_encoders.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "db/record_names.hpp"

namespace tarnwick {
namespace {

// How many bytes of a key or value the text view shows before it shortens.
constexpr std::size_t kTextViewLimit = 64;

// The mark in front of each CSV hex cell (see the header).
constexpr std::string_view kCsvHexMark = "\\x";

// CSV rows end as the spreadsheet dialect of CSV says.
constexpr std::string_view kCsvLineEnd = "\r\n";

constexpr std::string_view kCsvHeader =
    "key_hex,key_text,user_key_hex,user_key_text,value_hex,value_text,seq,state,file_type,origin_file,offset,"
    "was_compressed\r\n";

constexpr char kHexDigits[] = "0123456789abcdef";

// Both hex digits of every byte, so that a byte is written with one copy.
constexpr std::array<char, 512> make_hex_pairs() {
    std::array<char, 512> pairs{};
    for (int b = 0; b < 256; ++b) {
        pairs[2 * b] = kHexDigits[b >> 4];
        pairs[2 * b + 1] = kHexDigits[b & 0xF];
    }
    return pairs;
}
constexpr std::array<char, 512> kHexPairs = make_hex_pairs();

// Longest form of one byte anywhere: \xNN with its backslash doubled in JSON.
constexpr std::size_t kMaxCharsPerByte = 5;
// Everything in a line that does not grow with the record's bytes: field names,
// numbers, state and type names, quotes and separators.
constexpr std::size_t kFixedLineBound = 320;

// --- Writing into a buffer known to be large enough ------------------------------------

struct Cursor {
    char* p;

    void put(char c) noexcept { *p++ = c; }
    void put(std::string_view text) noexcept {
        std::memcpy(p, text.data(), text.size());
        p += text.size();
    }
    void put_number(std::uint64_t value) noexcept { p = std::to_chars(p, p + 20, value).ptr; }
    void put_hex_byte(std::uint8_t b) noexcept {
        std::memcpy(p, &kHexPairs[2 * b], 2);
        p += 2;
    }
    void put_hex(Bytes bytes) noexcept {
        for (const std::uint8_t b : bytes) put_hex_byte(b);
    }
};

// --- The escaped text of bytes ---------------------------------------------------------

// What a byte becomes in the escaped text.
enum class Escape : std::uint8_t { Plain, Backslash, Tab, Newline, Return, Hex };

constexpr std::array<Escape, 256> make_escape_table() {
    std::array<Escape, 256> table{};
    for (int b = 0; b < 256; ++b) table[b] = (b >= 0x20 && b < 0x7F) ? Escape::Plain : Escape::Hex;
    table['\\'] = Escape::Backslash;
    table['\t'] = Escape::Tab;
    table['\n'] = Escape::Newline;
    table['\r'] = Escape::Return;
    return table;
}
constexpr std::array<Escape, 256> kEscapes = make_escape_table();

// Where the escaped text goes decides what more it needs: JSON doubles each
// backslash of it and escapes the double quote; the text view escapes the
// double quote that delimits it; CSV doubles the double quote when the cell is
// quoted.
enum class Context : std::uint8_t { Json, TextView, CsvBare, CsvQuoted };

// Whether a byte stands for itself in the escaped text in context C.
template <Context C>
constexpr std::array<bool, 256> make_plain_table() {
    std::array<bool, 256> table{};
    for (int b = 0; b < 256; ++b) table[b] = kEscapes[b] == Escape::Plain && (b != '"' || C == Context::CsvBare);
    return table;
}

template <Context C>
constexpr std::array<bool, 256> kPlain = make_plain_table<C>();

template <Context C>
void put_escaped(Cursor& out, Bytes bytes) noexcept {
    constexpr std::string_view slash = C == Context::Json ? "\\\\" : "\\";
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    while (p != end) {
        // Most bytes of most keys and values stand for themselves: copy each
        // run of them at once.
        const std::uint8_t* run = p;
        while (run != end && kPlain<C>[*run]) ++run;
        if (run != p) {
            std::memcpy(out.p, p, static_cast<std::size_t>(run - p));
            out.p += run - p;
            p = run;
            if (p == end) break;
        }
        const std::uint8_t b = *p++;
        switch (kEscapes[b]) {
            case Escape::Plain:  // a double quote that the context escapes
                out.put(C == Context::CsvQuoted ? '"' : '\\');
                out.put('"');
                break;
            case Escape::Backslash:
                out.put(slash);
                out.put(slash);
                break;
            case Escape::Tab:
                out.put(slash);
                out.put('t');
                break;
            case Escape::Newline:
                out.put(slash);
                out.put('n');
                break;
            case Escape::Return:
                out.put(slash);
                out.put('r');
                break;
            case Escape::Hex:
                out.put(slash);
                out.put('x');
                out.put_hex_byte(b);
                break;
        }
    }
}

// --- CSV cells -----------------------------------------------------------------------

// A spreadsheet reads a cell that starts with one of these as a formula (or,
// for tab and carriage return, mangles it); such a cell gets a leading single
// quote. A cell that already starts with one gets one too, so that the rule
// can be undone without ambiguity: strip one leading quote if present.
constexpr bool starts_like_formula(std::uint8_t first) noexcept {
    return first == '=' || first == '+' || first == '-' || first == '@' || first == '\t' || first == '\r' ||
           first == '\'';
}

bool contains_any(Bytes bytes, std::string_view chars) noexcept {
    if (bytes.empty()) return false;  // an empty view may have no pointer, which memchr must not get
    for (const char c : chars) {
        if (std::memchr(bytes.data(), static_cast<unsigned char>(c), bytes.size()) != nullptr) return true;
    }
    return false;
}

// Words that pandas or DuckDB take for a boolean, a missing value, an
// infinity or a date when they guess a column's type (compared in lower case,
// spaces around them ignored).
constexpr std::string_view kNonTextWords[] = {
    "true", "false", "t", "f", "yes", "no", "nan", "inf", "infinity", "epoch", "null", "none",
    "na", "n/a", "nat", "#n/a", "#n/a n/a", "#na", "<na>",
};
constexpr std::size_t kLongestNonTextWord = 9;

// Whether a reader guessing column types could take the cell for anything but
// text: a number, date or time (they start with a digit, a point or a sign,
// after any spaces), or one of the words above. One such cell in a column of
// text makes DuckDB's read_csv fail on the whole file, and pandas turn the
// column into numbers; a leading quote keeps the cell text.
bool reads_as_non_text(Bytes bytes) noexcept {
    std::size_t begin = 0;
    std::size_t end = bytes.size();
    while (begin < end && bytes[begin] == ' ') ++begin;
    while (end > begin && bytes[end - 1] == ' ') --end;
    if (begin == end) return false;
    const std::uint8_t first = bytes[begin];
    if ((first >= '0' && first <= '9') || first == '.' || first == '+' || first == '-') return true;
    if (end - begin > kLongestNonTextWord) return false;
    char lower[kLongestNonTextWord];
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint8_t c = bytes[i];
        lower[i - begin] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    const std::string_view word(lower, end - begin);
    for (const std::string_view candidate : kNonTextWords) {
        if (word == candidate) return true;
    }
    return false;
}

// Whether a CSV text cell gets the leading single quote.
bool needs_mark(Bytes bytes) noexcept {
    // A tab or carriage return is escaped, so only the printable formula
    // starts apply.
    if (!bytes.empty() && bytes[0] != '\t' && bytes[0] != '\r' && starts_like_formula(bytes[0])) return true;
    return reads_as_non_text(bytes);
}

// The escaped text of bytes as a CSV cell. Escaping leaves no line break, so
// only a comma or a double quote makes the cell need quoting.
void put_csv_text_cell(Cursor& out, Bytes bytes) {
    const bool quoted = contains_any(bytes, ",\"");
    if (quoted) out.put('"');
    if (needs_mark(bytes)) out.put('\'');
    if (quoted) {
        put_escaped<Context::CsvQuoted>(out, bytes);
        out.put('"');
    } else {
        put_escaped<Context::CsvBare>(out, bytes);
    }
}

void put_csv_hex_cell(Cursor& out, Bytes bytes) noexcept {
    out.put(kCsvHexMark);
    out.put_hex(bytes);
}

// --- Paths -------------------------------------------------------------------------

// The length of the valid UTF-8 sequence starting at bytes[i], and its code
// point; 0 when the byte does not start one (the rules of Python's strict
// decoder: no overlong forms, no encoded surrogates, nothing past U+10FFFF).
std::size_t utf8_sequence(std::string_view bytes, std::size_t i, char32_t& code_point) noexcept {
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
    const std::uint8_t lead = at(i);
    const std::size_t left = bytes.size() - i;
    const auto continuation = [&](std::size_t k) { return (at(i + k) & 0xC0) == 0x80; };
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (left < 2 || !continuation(1)) return 0;
        code_point = (char32_t(lead & 0x1F) << 6) | (at(i + 1) & 0x3F);
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !continuation(1) || !continuation(2)) return 0;
        const std::uint8_t second = at(i + 1);
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F)) return 0;
        code_point = (char32_t(lead & 0x0F) << 12) | (char32_t(second & 0x3F) << 6) | (at(i + 2) & 0x3F);
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (left < 4 || !continuation(1) || !continuation(2) || !continuation(3)) return 0;
        const std::uint8_t second = at(i + 1);
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) return 0;
        code_point = (char32_t(lead & 0x07) << 18) | (char32_t(second & 0x3F) << 12) |
                     (char32_t(at(i + 2) & 0x3F) << 6) | (at(i + 3) & 0x3F);
        return 4;
    }
    return 0;
}

// The surrogate that stands for a byte outside any valid UTF-8 sequence.
constexpr char32_t escaped_byte(std::uint8_t b) noexcept { return 0xDC00 + b; }

void append_u_escape(std::string& out, char32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(unit >> shift) & 0xF];
}

// The path as a JSON string literal, ASCII only.
std::string json_path(std::string_view path) {
    std::string out = "\"";
    for (std::size_t i = 0; i < path.size();) {
        char32_t c;
        std::size_t length = utf8_sequence(path, i, c);
        if (length == 0) {
            c = escaped_byte(static_cast<std::uint8_t>(path[i]));
            length = 1;
        }
        i += length;
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\b': out += "\\b"; continue;
            case '\f': out += "\\f"; continue;
            default: break;
        }
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (c > 0xFFFF) {
            const char32_t v = c - 0x10000;
            append_u_escape(out, 0xD800 + (v >> 10));
            append_u_escape(out, 0xDC00 + (v & 0x3FF));
        } else {
            append_u_escape(out, c);
        }
    }
    out += '"';
    return out;
}

// The path as text: valid UTF-8 as it is, any other byte as "\udcNN".
std::string text_path(std::string_view path) {
    std::string out;
    for (std::size_t i = 0; i < path.size();) {
        char32_t c;
        const std::size_t length = utf8_sequence(path, i, c);
        if (length == 0) {
            append_u_escape(out, escaped_byte(static_cast<std::uint8_t>(path[i])));
            ++i;
        } else {
            out.append(path.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string csv_cell(std::string_view text) {
    std::string cell;
    if (!text.empty() && starts_like_formula(static_cast<std::uint8_t>(text[0]))) cell += '\'';
    cell += text;
    if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string quoted = "\"";
    for (const char c : cell) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

// The renderings of the last path seen on this thread.
struct PathForms {
    std::string path;
    bool valid = false;
    std::string json;      // a JSON string literal
    std::string csv;       // a CSV cell
    std::string name;      // the file's name, as text

    void update(const std::string& origin) {
        if (valid && origin == path) return;
        path = origin;
        valid = true;
        json = json_path(origin);
        const std::string text = text_path(origin);
        csv = csv_cell(text);
        const std::size_t slash = origin.rfind('/');
        name = text_path(slash == std::string::npos ? std::string_view(origin)
                                                    : std::string_view(origin).substr(slash + 1));
    }
};

// --- Scratch space -------------------------------------------------------------------

class Scratch {
   public:
    char* reserve(std::size_t n) {
        if (n > capacity_) {
            capacity_ = n > 2 * capacity_ ? n : 2 * capacity_;
            data_ = std::make_unique_for_overwrite<char[]>(capacity_);
        }
        return data_.get();
    }

   private:
    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
};

struct ThreadState {
    Scratch scratch;
    PathForms path;
};

ThreadState& thread_state() {
    thread_local ThreadState state;
    return state;
}

void append_chars(ByteBuffer& out, const char* begin, const char* end) {
    out.append(Bytes(reinterpret_cast<const std::uint8_t*>(begin), static_cast<std::size_t>(end - begin)));
}

// --- The three forms -----------------------------------------------------------------

void put_json_line(Cursor& out, const RecordView& r, const PathForms& path) {
    const Bytes user_key = r.user_key();
    out.put("{\"key_hex\":\"");
    out.put_hex(r.key);
    out.put("\",\"key_text\":\"");
    put_escaped<Context::Json>(out, r.key);
    out.put("\",\"user_key_hex\":\"");
    out.put_hex(user_key);
    out.put("\",\"user_key_text\":\"");
    put_escaped<Context::Json>(out, user_key);
    out.put("\",\"value_hex\":\"");
    out.put_hex(r.value);
    out.put("\",\"value_text\":\"");
    put_escaped<Context::Json>(out, r.value);
    out.put("\",\"seq\":");
    out.put_number(r.seq);
    out.put(",\"state\":\"");
    out.put(name_of(r.state));
    out.put("\",\"file_type\":\"");
    out.put(name_of(r.file_type));
    out.put("\",\"origin_file\":");
    out.put(path.json);
    out.put(",\"offset\":");
    out.put_number(r.offset);
    out.put(r.was_compressed ? ",\"was_compressed\":true}\n" : ",\"was_compressed\":false}\n");
}

void put_csv_line(Cursor& out, const RecordView& r, const PathForms& path) {
    const Bytes user_key = r.user_key();
    put_csv_hex_cell(out, r.key);
    out.put(',');
    put_csv_text_cell(out, r.key);
    out.put(',');
    put_csv_hex_cell(out, user_key);
    out.put(',');
    put_csv_text_cell(out, user_key);
    out.put(',');
    put_csv_hex_cell(out, r.value);
    out.put(',');
    put_csv_text_cell(out, r.value);
    out.put(',');
    out.put_number(r.seq);
    out.put(',');
    out.put(name_of(r.state));
    out.put(',');
    out.put(name_of(r.file_type));
    out.put(',');
    out.put(path.csv);
    out.put(',');
    out.put_number(r.offset);
    out.put(r.was_compressed ? ",true" : ",false");
    out.put(kCsvLineEnd);
}

// A key or value in the text view: quoted, and shortened when long.
void put_shown(Cursor& out, Bytes bytes) {
    const bool shortened = bytes.size() > kTextViewLimit;
    out.put('"');
    put_escaped<Context::TextView>(out, shortened ? bytes.first(kTextViewLimit) : bytes);
    out.put('"');
    if (shortened) {
        out.put("... (");
        out.put_number(bytes.size());
        out.put(" bytes)");
    }
}

void put_text_line(Cursor& out, const RecordView& r, const PathForms& path) {
    out.put(path.name);
    out.put(" offset=");
    out.put_number(r.offset);
    out.put(" seq=");
    out.put_number(r.seq);
    out.put(' ');
    out.put(name_of(r.state));
    out.put(' ');
    out.put(name_of(r.file_type));
    if (r.was_compressed) out.put(" compressed");
    out.put(" key=");
    put_shown(out, r.user_key());
    out.put(" value=");
    put_shown(out, r.value);
    out.put('\n');
}

}  // namespace

void append_text_header(TextFormat format, ByteBuffer& out) {
    if (format == TextFormat::Csv) {
        out.append(Bytes(reinterpret_cast<const std::uint8_t*>(kCsvHeader.data()), kCsvHeader.size()));
    }
}

void append_text_record(TextFormat format, const RecordView& record, std::uint64_t /*file_number*/,
                        ByteBuffer& out) {
    ThreadState& state = thread_state();
    state.path.update(*record.origin_file);
    const PathForms& path = state.path;

    // The user key is a part of the key, so twice the key covers both.
    const std::size_t record_bytes = 2 * record.key.size() + record.value.size();
    const std::size_t path_chars = path.json.size() + path.csv.size() + path.name.size();
    char* const begin = state.scratch.reserve(kFixedLineBound + path_chars + (2 + kMaxCharsPerByte) * record_bytes);
    Cursor cursor{begin};
    switch (format) {
        case TextFormat::Jsonl: put_json_line(cursor, record, path); break;
        case TextFormat::Csv: put_csv_line(cursor, record, path); break;
        case TextFormat::Text: put_text_line(cursor, record, path); break;
    }
    append_chars(out, begin, cursor.p);
}

}  // namespace tarnwick
