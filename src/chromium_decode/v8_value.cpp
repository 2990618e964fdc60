#include "chromium_decode/v8_value.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chromium_decode/budget.hpp"
#include "chromium_decode/byte_reader.hpp"
#include "chromium_decode/host_object.hpp"
#include "chromium_decode/json_text.hpp"
#include "chromium_decode/value_tree.hpp"

namespace tarnwick::chromium {

namespace {

// --- Blink's envelope ----------------------------------------------------------
constexpr std::uint8_t version_tag = 0xFF;
// Blink 21 added the trailer offset and size after this tag.
constexpr std::uint8_t trailer_offset_tag = 0xFE;
constexpr std::uint64_t blink_trailer_version = 21;
// From Blink 16 on, Blink's version header and V8's are separate.
constexpr std::uint64_t blink_separate_envelope_version = 16;

// --- V8's tags -----------------------------------------------------------------
constexpr std::uint8_t tag_padding = 0x00;
constexpr std::uint8_t tag_verify_count = '?';
constexpr std::uint8_t tag_hole = '-';
constexpr std::uint8_t tag_undefined = '_';
constexpr std::uint8_t tag_null = '0';
constexpr std::uint8_t tag_true = 'T';
constexpr std::uint8_t tag_false = 'F';
constexpr std::uint8_t tag_int32 = 'I';
constexpr std::uint8_t tag_uint32 = 'U';
constexpr std::uint8_t tag_double = 'N';
constexpr std::uint8_t tag_bigint = 'Z';
constexpr std::uint8_t tag_one_byte_string = '"';
constexpr std::uint8_t tag_two_byte_string = 'c';
constexpr std::uint8_t tag_utf8_string = 'S';
constexpr std::uint8_t tag_reference = '^';
constexpr std::uint8_t tag_begin_object = 'o';
constexpr std::uint8_t tag_end_object = '{';
constexpr std::uint8_t tag_begin_dense_array = 'A';
constexpr std::uint8_t tag_end_dense_array = '$';
constexpr std::uint8_t tag_begin_sparse_array = 'a';
constexpr std::uint8_t tag_end_sparse_array = '@';
constexpr std::uint8_t tag_date = 'D';
constexpr std::uint8_t tag_true_object = 'y';
constexpr std::uint8_t tag_false_object = 'x';
constexpr std::uint8_t tag_number_object = 'n';
constexpr std::uint8_t tag_bigint_object = 'z';
constexpr std::uint8_t tag_string_object = 's';
constexpr std::uint8_t tag_regexp = 'R';
constexpr std::uint8_t tag_begin_map = ';';
constexpr std::uint8_t tag_end_map = ':';
constexpr std::uint8_t tag_begin_set = '\'';
constexpr std::uint8_t tag_end_set = ',';
constexpr std::uint8_t tag_array_buffer = 'B';
constexpr std::uint8_t tag_resizable_array_buffer = '~';
constexpr std::uint8_t tag_array_buffer_view = 'V';
constexpr std::uint8_t tag_error = 'r';
constexpr std::uint8_t tag_host_object = '\\';

constexpr std::string_view v8_tags = std::string_view(
    "\0?-_0TFINUZ\"cS^o{A$a@DyxnzsR;:',B~Vr", 36);

// Versions whose data differs: before 11 an undefined in a dense array is a
// hole; before 12 RegExp and String-object payloads are raw UTF-8; before 13
// there is no host tag (unknown tags go to Blink); from 14 on views carry a
// flags varint.
constexpr std::uint64_t v8_undefined_is_hole_below = 11;
constexpr std::uint64_t v8_raw_utf8_below = 12;
constexpr std::uint64_t v8_host_tag_from = 13;
constexpr std::uint64_t v8_view_flags_from = 14;

// Error sub-tags.
constexpr std::uint8_t error_message = 'm';
constexpr std::uint8_t error_cause = 'c';
constexpr std::uint8_t error_stack = 's';
constexpr std::uint8_t error_end = '.';

constexpr std::string_view regexp_flags = "gimyusldv";  // bit i of the flags means regexp_flags[i]

// What a hole of a dense array costs: it is written out as {"$hole": true}.
constexpr std::uint64_t hole_cost = 16;
// The largest array index JavaScript has.
constexpr std::uint64_t max_array_index = 4'294'967'294;
// Bytes of a BigInt's magnitude are written as about 2.4 decimal digits each.
constexpr std::uint64_t bigint_cost_per_byte = 3;

std::string_view view_type(std::uint8_t sub) {
    switch (sub) {
        case 'b': return "Int8Array";
        case 'B': return "Uint8Array";
        case 'C': return "Uint8ClampedArray";
        case 'w': return "Int16Array";
        case 'W': return "Uint16Array";
        case 'd': return "Int32Array";
        case 'D': return "Uint32Array";
        case 'h': return "Float16Array";
        case 'f': return "Float32Array";
        case 'F': return "Float64Array";
        case 'q': return "BigInt64Array";
        case 'Q': return "BigUint64Array";
        case '?': return "DataView";
        default: return {};
    }
}

std::string_view error_prototype(std::uint8_t sub) {
    switch (sub) {
        case 'E': return "EvalError";
        case 'R': return "RangeError";
        case 'F': return "ReferenceError";
        case 'S': return "SyntaxError";
        case 'T': return "TypeError";
        case 'U': return "URIError";
        default: return {};
    }
}

std::string hex_byte(std::uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", b);
    return text;
}

// Object keys that start with "$" get one more, so they cannot pass for a tag.
std::string escaped_key(std::string_view key) {
    std::string out;
    out.reserve(key.size() + 1);
    if (key.starts_with('$')) out += '$';
    out += key;
    return out;
}

// The array index a key names, if it names one: an integer or a canonical
// decimal string from 0 to 2^32 - 2.
std::optional<std::uint64_t> array_index(std::string_view digits) {
    if (digits.empty() || digits.size() > 10) return std::nullopt;
    if (!std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : digits) n = n * 10 + static_cast<std::uint64_t>(c - '0');
    if (n > max_array_index) return std::nullopt;
    return n;
}

enum class FrameKind : std::uint8_t { object, dense_array, sparse_array, map, set, error };
enum class Phase : std::uint8_t { items, key, value };

// A container being read. Frames live on the decoder's own stack.
struct Frame {
    FrameKind kind;
    Phase phase;
    std::uint32_t node;         // the container's node
    std::uint32_t entries = 0;  // maps and sets: the list node of their entries
    std::uint32_t key = 0;      // the key read, waiting for its value
    std::uint64_t length = 0;   // arrays: the length written
};

// What reading one tag gives: a finished node, a container to read, or an
// ArrayBuffer that a following view tag may consume.
struct Step {
    enum class Kind : std::uint8_t { node, frame, buffer } kind;
    std::uint32_t node = 0;
    Frame frame{};
    std::uint32_t object_id = 0;
    bool via_reference = false;
};

// Marks "nothing yet" when a frame is first resumed.
constexpr std::uint32_t no_child = 0xFFFFFFFF;

struct BufferBytes {
    std::size_t offset;
    std::size_t length;
};

struct FirstView {
    std::uint32_t node;
    std::uint64_t offset;
    std::uint64_t length;
    bool holds_buffer = false;
};

class Deserializer {
public:
    Deserializer(ByteReader& cur, std::uint64_t version, Budget& budget, Bytes input)
        : cur_(cur), version_(version), budget_(budget), tree_(input), hole_(tree_.add_text(R"({"$hole":true})")) {}

    Decoded<std::string> decode() {
        DECODE_TRY(root, read());
        return tree_.write_json(root, objects_, budget_);
    }

private:
    Decoded<std::uint32_t> read() {
        std::vector<Frame> stack;
        DECODE_TRY(first, start());
        Step step = first;
        while (true) {
            std::optional<std::uint32_t> out;
            if (step.kind == Step::Kind::frame) {
                if (stack.size() >= max_value_depth) {
                    return decode_error("values nested deeper than " + std::to_string(max_value_depth));
                }
                stack.push_back(step.frame);
                DECODE_TRY(r, resume(stack.back(), no_child));
                out = r;
            } else if (stack.empty()) {
                return step.node;
            } else {
                DECODE_TRY(r, resume(stack.back(), step.node));
                out = r;
            }
            if (!out) {
                DECODE_TRY(next, start());
                step = next;
            } else {
                stack.pop_back();
                step = Step{Step::Kind::node, *out};
            }
        }
    }

    // -- tags ---------------------------------------------------------------------
    Decoded<std::uint8_t> tag() {
        while (true) {
            DECODE_TRY(t, cur_.byte());
            if (t != tag_padding) return t;
        }
    }

    // Consumes the end tag `end` if it comes next.
    Decoded<bool> end_next(std::uint8_t end) {
        DECODE_TRY(t, tag());
        if (t == end) return true;
        cur_.unread();
        return false;
    }

    std::uint32_t register_object(std::uint32_t node) {
        objects_.push_back(node);
        return static_cast<std::uint32_t>(objects_.size() - 1);
    }

    // Reads the next tag: a finished value, or the frame of a container.
    Decoded<Step> start() {
        DECODE_TRY(first_tag, tag());
        std::uint8_t t = first_tag;
        while (t == tag_verify_count) {
            DECODE_TRY(count, cur_.varint());
            (void)count;
            DECODE_TRY(next, tag());
            t = next;
        }
        if (auto r = budget_.charge_at_byte(value_cost, cur_.pos() - 1); !r) return std::unexpected(r.error());
        DECODE_TRY(step, value_for(t));
        if (step.kind != Step::Kind::buffer) return step;
        if (cur_.peek() == tag_array_buffer_view) {
            (void)cur_.byte();
            DECODE_TRY(view_node, view(step.object_id, step.via_reference));
            return Step{Step::Kind::node, view_node};
        }
        return Step{Step::Kind::node, step.via_reference ? tree_.add_ref(step.object_id) : objects_[step.object_id]};
    }

    static Step done(std::uint32_t node) { return Step{Step::Kind::node, node}; }
    static Step frame(Frame f) { return Step{Step::Kind::frame, 0, f}; }

    Decoded<Step> value_for(std::uint8_t t) {
        switch (t) {
            case tag_null: return done(tree_.add_text("null"));
            case tag_undefined: return done(tree_.add_text(R"({"$undefined":true})"));
            case tag_true: return done(tree_.add_text("true"));
            case tag_false: return done(tree_.add_text("false"));
            case tag_int32: {
                DECODE_TRY(n, cur_.zigzag32());
                return done(tree_.add_text(std::to_string(n), TextKind::number));
            }
            case tag_uint32: {
                DECODE_TRY(n, cur_.varint());
                return done(tree_.add_text(std::to_string(n & 0xFFFFFFFF), TextKind::number));
            }
            case tag_double: {
                DECODE_TRY(x, cur_.double_le());
                return done(number_node(x));
            }
            case tag_bigint: {
                const std::size_t start = tree_.text_start();
                tree_.pool() += R"({"$bigint":")";
                if (auto r = bigint(); !r) return std::unexpected(r.error());
                tree_.pool() += "\"}";
                return done(tree_.add_text_since(start));
            }
            case tag_one_byte_string:
            case tag_two_byte_string:
            case tag_utf8_string: {
                DECODE_TRY(node, string_payload(t));
                return done(node);
            }
            case tag_reference: return reference();
            case tag_begin_object: {
                const std::uint32_t node = tree_.add_object();
                register_object(node);
                return frame({FrameKind::object, Phase::key, node});
            }
            case tag_begin_dense_array: {
                DECODE_TRY(length, cur_.varint());
                if (length > cur_.remaining()) {
                    return decode_error("dense array of " + std::to_string(length) + " elements in " +
                                        std::to_string(cur_.remaining()) + " bytes");
                }
                const std::uint32_t node = tree_.add_array(false, length);
                tree_.members(tree_.node(node).a).reserve(length);
                register_object(node);
                return frame({FrameKind::dense_array, Phase::items, node, 0, 0, length});
            }
            case tag_begin_sparse_array: {
                // Only the elements written are kept, whatever length the array claims.
                DECODE_TRY(length, cur_.varint());
                const std::uint32_t node = tree_.add_array(true, length);
                register_object(node);
                return frame({FrameKind::sparse_array, Phase::key, node, 0, 0, length});
            }
            case tag_date: {
                DECODE_TRY(ms, cur_.double_le());
                const std::size_t start = tree_.text_start();
                append_json_date(tree_.pool(), ms);
                return registered_text(start);
            }
            case tag_true_object:
            case tag_false_object:
                return registered(t == tag_true_object ? R"({"$boolean_object":true})"
                                                       : R"({"$boolean_object":false})");
            case tag_number_object: {
                DECODE_TRY(x, cur_.double_le());
                const std::size_t start = tree_.text_start();
                tree_.pool() += R"({"$number_object":)";
                append_json_number(tree_.pool(), x);
                tree_.pool() += '}';
                return registered_text(start);
            }
            case tag_bigint_object: {
                const std::size_t start = tree_.text_start();
                tree_.pool() += R"({"$bigint_object":")";
                if (auto r = bigint(); !r) return std::unexpected(r.error());
                tree_.pool() += "\"}";
                return registered_text(start);
            }
            case tag_string_object: {
                const std::size_t start = tree_.text_start();
                tree_.pool() += R"({"$string_object":)";
                if (auto r = read_string(); !r) return std::unexpected(r.error());
                tree_.pool() += '}';
                return registered_text(start);
            }
            case tag_regexp: return regexp();
            case tag_begin_map:
            case tag_begin_set: {
                const bool is_map = t == tag_begin_map;
                const std::uint32_t node = tree_.add_object();
                const std::uint32_t entries = tree_.add_list();
                tree_.add_member(node, is_map ? "$map" : "$set", entries);
                register_object(node);
                return frame({is_map ? FrameKind::map : FrameKind::set, Phase::key, node, entries});
            }
            case tag_array_buffer: {
                DECODE_TRY(n, cur_.varint());
                DECODE_TRY(data, cur_.take(n));
                return buffer(data);
            }
            case tag_resizable_array_buffer: {
                DECODE_TRY(n, cur_.varint());
                DECODE_TRY(max_length, cur_.varint());
                (void)max_length;
                DECODE_TRY(data, cur_.take(n));
                return buffer(data);
            }
            case tag_error: {
                const std::uint32_t node = tree_.add_object();
                tree_.add_member(node, "$error", tree_.add_text(R"("Error")"));
                register_object(node);
                return frame({FrameKind::error, Phase::key, node});
            }
            default: break;
        }
        if (t == tag_host_object && version_ >= v8_host_tag_from) {
            DECODE_TRY(host_tag, tag());
            return host(host_tag);
        }
        if (version_ < v8_host_tag_from && v8_tags.find(static_cast<char>(t)) == std::string_view::npos) {
            return host(t);
        }
        return decode_error("unknown or unsupported tag " + hex_byte(t) + " at byte " + std::to_string(cur_.pos() - 1));
    }

    std::uint32_t number_node(double x) {
        const std::size_t start = tree_.text_start();
        append_json_number(tree_.pool(), x);
        const bool plain = tree_.pool()[start] != '{';
        return tree_.add_text_since(start, plain ? TextKind::number : TextKind::other);
    }

    Decoded<Step> registered_text(std::size_t start) {
        const std::uint32_t node = tree_.add_text_since(start);
        register_object(node);
        return done(node);
    }

    Decoded<Step> registered(std::string_view json) {
        const std::uint32_t node = tree_.add_text(json);
        register_object(node);
        return done(node);
    }

    Decoded<void> bigint() {
        DECODE_TRY(bitfield, cur_.varint());
        const std::uint64_t n = (bitfield >> 1) & 0x3FFFFFFF;
        DECODE_TRY(magnitude, cur_.take(n));
        if (auto r = budget_.charge(bigint_cost_per_byte * n, "a BigInt"); !r) return r;
        append_bigint_text(tree_.pool(), magnitude, (bitfield & 1) != 0);
        return {};
    }

    // -- strings -------------------------------------------------------------------
    // Appends the string whose payload follows a string tag to the pool.
    Decoded<void> append_string_payload(std::uint8_t t) {
        DECODE_TRY(n, cur_.varint());
        DECODE_TRY(raw, cur_.take(n));
        if (auto r = budget_.charge(n, "a string"); !r) return r;
        if (t == tag_one_byte_string) {
            append_json_latin1(tree_.pool(), raw);
        } else if (t == tag_two_byte_string) {
            if (n % 2 != 0) return decode_error("two-byte string of odd length " + std::to_string(n));
            append_json_utf16(tree_.pool(), raw, false);
        } else if (!append_json_utf8(tree_.pool(), raw)) {
            return decode_error("UTF-8 string: not valid UTF-8");
        }
        return {};
    }

    Decoded<std::uint32_t> string_payload(std::uint8_t t) {
        const std::size_t start = tree_.text_start();
        if (auto r = append_string_payload(t); !r) {
            tree_.pool().resize(start);
            return std::unexpected(r.error());
        }
        return tree_.add_text_since(start, TextKind::string);
    }

    // A value that must be a string (RegExp source, error message, ...).
    Decoded<void> read_string() {
        if (version_ < v8_raw_utf8_below) return append_string_payload(tag_utf8_string);
        DECODE_TRY(t, tag());
        if (t != tag_one_byte_string && t != tag_two_byte_string && t != tag_utf8_string) {
            return decode_error("string expected, tag " + hex_byte(t) + " found");
        }
        return append_string_payload(t);
    }

    Decoded<Step> regexp() {
        const std::size_t start = tree_.text_start();
        tree_.pool() += R"({"$regexp":)";
        if (auto r = read_string(); !r) return std::unexpected(r.error());
        DECODE_TRY(bits, cur_.varint());
        tree_.pool() += R"(,"flags":")";
        for (std::size_t i = 0; i < regexp_flags.size(); ++i) {
            if (((bits >> i) & 1) != 0) tree_.pool() += regexp_flags[i];
        }
        tree_.pool() += "\"}";
        return registered_text(start);
    }

    // -- references and binary data ---------------------------------------------
    Decoded<Step> reference() {
        DECODE_TRY(object_id, cur_.varint());
        if (object_id >= objects_.size()) {
            return decode_error("reference to object " + std::to_string(object_id) + ", only " +
                                std::to_string(objects_.size()) + " read");
        }
        const auto id = static_cast<std::uint32_t>(object_id);
        if (buffers_.contains(id)) return Step{Step::Kind::buffer, 0, {}, id, true};
        return done(tree_.add_ref(id));
    }

    Decoded<Step> buffer(Bytes data) {
        if (auto r = budget_.charge(2 * data.size(), "an ArrayBuffer"); !r) return std::unexpected(r.error());
        const std::uint32_t node = tree_.add_object();
        tree_.add_member(node, "$arraybuffer", tree_.add_hex(data));
        const std::uint32_t id = register_object(node);
        buffers_.emplace(id, BufferBytes{static_cast<std::size_t>(data.data() - cur_.data().data()), data.size()});
        return Step{Step::Kind::buffer, 0, {}, id, false};
    }

    // A typed array or DataView. The first view over a buffer carries the
    // bytes it shows; every further view over the same buffer refers to that
    // first one (or to the buffer reported on its own) with its offset and
    // length, so many views over one buffer cost their few bytes each.
    Decoded<std::uint32_t> view(std::uint32_t buffer_id, bool via_reference) {
        DECODE_TRY(sub, cur_.byte());
        DECODE_TRY(offset, cur_.varint());
        DECODE_TRY(length, cur_.varint());
        if (version_ >= v8_view_flags_from) {
            DECODE_TRY(flags, cur_.varint());  // length-tracking, resizable backing
            (void)flags;
        }
        const std::string_view name = view_type(sub);
        if (name.empty()) return decode_error("unknown view type " + hex_byte(sub));
        const BufferBytes whole = buffers_.at(buffer_id);
        if (offset > whole.length || length > whole.length - offset) {
            return decode_error("view of " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                                " past a " + std::to_string(whole.length) + "-byte buffer");
        }
        const Bytes buffer_bytes = cur_.data().subspan(whole.offset, whole.length);
        const std::uint32_t node = tree_.add_object();
        const std::size_t name_start = tree_.text_start();
        append_json_ascii(tree_.pool(), name);
        tree_.add_member(node, "$typedarray", tree_.add_text_since(name_start));
        const auto first = first_views_.find(buffer_id);
        if (via_reference || first != first_views_.end()) {
            if (first != first_views_.end()) {
                FirstView& shown = first->second;
                if ((shown.offset != 0 || shown.length != whole.length) && !shown.holds_buffer) {
                    // The first view showed only part of the buffer: the whole
                    // of it is reported there once.
                    if (auto r = budget_.charge(2 * whole.length, "a shared buffer"); !r) {
                        return std::unexpected(r.error());
                    }
                    const std::uint32_t whole_node = tree_.add_object();
                    tree_.add_member(whole_node, "$arraybuffer", tree_.add_hex(buffer_bytes));
                    tree_.add_member(shown.node, "buffer", whole_node);
                    shown.holds_buffer = true;
                }
            }
            tree_.add_member(node, "buffer", tree_.add_ref(buffer_id));
            tree_.add_member(node, "offset", tree_.add_text(std::to_string(offset), TextKind::number));
            tree_.add_member(node, "length", tree_.add_text(std::to_string(length), TextKind::number));
        } else {
            if (auto r = budget_.charge(2 * length, "a view"); !r) return std::unexpected(r.error());
            tree_.add_member(node, "hex", tree_.add_hex(buffer_bytes.subspan(offset, length)));
            // The buffer is seen through this view: references to it point here.
            objects_[buffer_id] = node;
            first_views_.emplace(buffer_id, FirstView{node, offset, length});
        }
        register_object(node);
        return node;
    }

    Decoded<Step> host(std::uint8_t host_tag) {
        const std::size_t start = tree_.text_start();
        if (auto r = append_host_object(cur_, host_tag, budget_, tree_.pool()); !r) {
            tree_.pool().resize(start);
            return std::unexpected(r.error());
        }
        return registered_text(start);
    }

    // -- containers ----------------------------------------------------------------
    // A property key as text: strings as they are, numbers as JavaScript
    // writes them.
    Decoded<std::string_view> property_name(std::uint32_t key) const {
        const Node& n = tree_.node(key);
        if (n.kind == NodeKind::text && n.text_kind == TextKind::string) {
            const std::string_view text = tree_.text_of(n);
            return text.substr(1, text.size() - 2);
        }
        if (n.kind == NodeKind::text && n.text_kind == TextKind::number) return tree_.text_of(n);
        return decode_error("property key is not a string or number");
    }

    std::optional<std::uint64_t> index_of(std::uint32_t key) const {
        const Node& n = tree_.node(key);
        if (n.kind != NodeKind::text || n.text_kind == TextKind::other) return std::nullopt;
        std::string_view text = tree_.text_of(n);
        if (n.text_kind == TextKind::string) text = text.substr(1, text.size() - 2);
        return array_index(text);
    }

    // Resumes the frame on top with the value it asked for (or no_child when
    // it starts); nothing when it needs another value, else the finished node.
    Decoded<std::optional<std::uint32_t>> resume(Frame& f, std::uint32_t child) {
        switch (f.kind) {
            case FrameKind::object: return resume_object(f, child);
            case FrameKind::dense_array:
            case FrameKind::sparse_array: return resume_array(f, child);
            case FrameKind::map:
            case FrameKind::set: return resume_map(f, child);
            case FrameKind::error: return resume_error(f, child);
        }
        return decode_error("unknown frame");
    }

    Decoded<std::optional<std::uint32_t>> resume_object(Frame& f, std::uint32_t child) {
        if (f.phase == Phase::key && child != no_child) {
            f.key = child;
            f.phase = Phase::value;
            return std::nullopt;
        }
        if (f.phase == Phase::value) {
            DECODE_TRY(name, property_name(f.key));
            tree_.add_member(f.node, escaped_key(name), child);
            f.phase = Phase::key;
        }
        DECODE_TRY(ended, end_next(tag_end_object));
        if (!ended) return std::nullopt;
        DECODE_TRY(count, cur_.varint());  // the property count
        (void)count;
        return f.node;
    }

    Decoded<std::optional<std::uint32_t>> resume_array(Frame& f, std::uint32_t child) {
        const Node& n = tree_.node(f.node);
        const std::uint32_t items = n.a;
        if (f.phase == Phase::items) {
            if (child != no_child) tree_.add_to_list(items, {}, child);
            while (tree_.members(items).size() < f.length) {
                DECODE_TRY(t, tag());
                if (t == tag_hole || (t == tag_undefined && version_ < v8_undefined_is_hole_below)) {
                    if (auto r = budget_.charge(hole_cost, "a hole"); !r) return std::unexpected(r.error());
                    tree_.add_to_list(items, {}, hole_);
                    continue;
                }
                cur_.unread();
                return std::nullopt;
            }
            f.phase = Phase::key;
        } else if (f.phase == Phase::key && child != no_child) {
            f.key = child;
            f.phase = Phase::value;
            return std::nullopt;
        } else if (f.phase == Phase::value) {
            if (auto r = put(f, f.key, child); !r) return std::unexpected(r.error());
            f.phase = Phase::key;
        }
        DECODE_TRY(ended, end_next(f.kind == FrameKind::sparse_array ? tag_end_sparse_array : tag_end_dense_array));
        if (!ended) return std::nullopt;
        DECODE_TRY(count, cur_.varint());  // the property count
        DECODE_TRY(length, cur_.varint());  // the length
        (void)count;
        (void)length;
        return f.node;
    }

    Decoded<void> put(const Frame& f, std::uint32_t key, std::uint32_t value) {
        const Node& n = tree_.node(f.node);
        const auto index = index_of(key);
        if (!index) {
            DECODE_TRY(name, property_name(key));
            tree_.add_to_list(n.b, escaped_key(name), value);
        } else if (f.kind == FrameKind::sparse_array && *index < f.length) {
            tree_.add_to_list(n.a, std::to_string(*index), value);
        } else if (f.kind == FrameKind::dense_array && *index < tree_.members(n.a).size()) {
            tree_.members(n.a)[*index].node = value;
        } else {  // an index beyond the written length: kept as a property
            tree_.add_to_list(n.b, std::to_string(*index), value);
        }
        return {};
    }

    Decoded<std::optional<std::uint32_t>> resume_map(Frame& f, std::uint32_t child) {
        if (child != no_child) {
            if (f.kind == FrameKind::set) {
                tree_.add_member(f.entries, {}, child);
            } else if (f.phase == Phase::key) {
                f.key = child;
                f.phase = Phase::value;
                return std::nullopt;
            } else {
                const std::uint32_t pair = tree_.add_list();
                tree_.add_member(pair, {}, f.key);
                tree_.add_member(pair, {}, child);
                tree_.add_member(f.entries, {}, pair);
                f.phase = Phase::key;
            }
        }
        DECODE_TRY(ended, end_next(f.kind == FrameKind::map ? tag_end_map : tag_end_set));
        if (!ended) return std::nullopt;
        DECODE_TRY(count, cur_.varint());  // the entry count
        (void)count;
        return f.node;
    }

    // An Error: sub-tags for its prototype, message, stack and cause, then an end.
    Decoded<std::optional<std::uint32_t>> resume_error(Frame& f, std::uint32_t child) {
        if (child != no_child) tree_.set_member(f.node, "cause", child);
        while (true) {
            DECODE_TRY(sub, cur_.byte());
            if (const auto prototype = error_prototype(sub); !prototype.empty()) {
                const std::size_t start = tree_.text_start();
                append_json_ascii(tree_.pool(), prototype);
                tree_.set_member(f.node, "$error", tree_.add_text_since(start));
            } else if (sub == error_message || sub == error_stack) {
                const std::size_t start = tree_.text_start();
                if (auto r = read_string(); !r) return std::unexpected(r.error());
                tree_.set_member(f.node, sub == error_message ? "message" : "stack", tree_.add_text_since(start));
            } else if (sub == error_cause) {
                return std::nullopt;
            } else if (sub == error_end) {
                return f.node;
            } else {
                return decode_error("unknown error sub-tag " + hex_byte(sub));
            }
        }
    }

    ByteReader& cur_;
    std::uint64_t version_;
    Budget& budget_;
    ValueTree tree_;
    std::uint32_t hole_;
    std::vector<std::uint32_t> objects_;  // object id -> its node
    std::unordered_map<std::uint32_t, BufferBytes> buffers_;  // object id of an ArrayBuffer -> its bytes
    std::unordered_map<std::uint32_t, FirstView> first_views_;  // object id of an ArrayBuffer -> its first view
};

Decoded<std::string> decode_body(ByteReader& cur, std::uint64_t version, Budget& budget) {
    // Nodes keep offsets into the value in 32 bits.
    if (cur.data().size() > std::numeric_limits<std::uint32_t>::max()) {
        return decode_error("value of " + std::to_string(cur.data().size()) + " bytes, larger than 4 GiB");
    }
    return Deserializer(cur, version, budget, cur.data()).decode();
}

Decoded<DecodedValue> decode_v8_at(Bytes data, std::size_t start, Budget* budget) {
    ByteReader cur(data, start);
    DECODE_TRY(header, cur.byte());
    if (header != version_tag) return decode_error("V8 data does not start with its version tag");
    DECODE_TRY(version, cur.varint());
    Budget own(data.size() - start);
    DECODE_TRY(json, decode_body(cur, version, budget != nullptr ? *budget : own));
    return DecodedValue{std::move(json), 0, version};
}

}  // namespace

Decoded<DecodedValue> decode_v8_value(Bytes data) { return decode_v8_at(data, 0, nullptr); }

Decoded<DecodedValue> decode_serialized_script_value(Bytes data) {
    Budget budget(data.size());
    ByteReader cur(data);
    if (cur.peek() != version_tag) return decode_error("no version header (legacy version 0 data is not decoded)");
    (void)cur.byte();
    DECODE_TRY(blink, cur.varint());
    std::size_t end = data.size();
    if (blink >= blink_trailer_version) {
        DECODE_TRY(t, cur.byte());
        if (t != trailer_offset_tag) return decode_error("Blink envelope lacks its trailer offset tag");
        DECODE_TRY(trailer_offset, cur.big_endian(8));
        DECODE_TRY(trailer_size, cur.big_endian(4));  // the trailer only lists interfaces the value needs
        (void)trailer_size;
        if (trailer_offset != 0) {
            if (trailer_offset < cur.pos() || trailer_offset > data.size()) {
                return decode_error("trailer offset " + std::to_string(trailer_offset) + " outside the value");
            }
            end = static_cast<std::size_t>(trailer_offset);
        }
    }
    const Bytes value = data.first(end);
    if (blink < blink_separate_envelope_version) {
        ByteReader body(value, cur.pos());
        DECODE_TRY(json, decode_body(body, blink, budget));
        return DecodedValue{std::move(json), blink, blink};
    }
    DECODE_TRY(v8, decode_v8_at(value, cur.pos(), &budget));
    v8.blink_version = blink;
    return v8;
}

}  // namespace tarnwick::chromium
