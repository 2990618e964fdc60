// The decoded form of one V8 value before it becomes JSON text.
//
// V8 data can refer back to an object read earlier (shared objects, cycles),
// and a later view over an ArrayBuffer can change how an earlier view is
// reported, so a value is first built as a tree of nodes and only then
// written out. A back-reference becomes {"$ref": JSON Pointer} to the place
// where its object first appears in the written text, the pointer spelled out
// only when a reference needs it.
//
// Nodes are small and their text lives in one pool; binary data stays in the
// input and is turned into hex only while writing, so a buffer seen through a
// view is never copied.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chromium_decode/budget.hpp"
#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

enum class NodeKind : std::uint8_t {
    text,          // finished JSON text in the pool
    hex,           // bytes of the input, written as a hex string
    object,        // members with keys
    list,          // members without keys
    array,         // a JavaScript array: elements (holes among them), then named properties
    sparse_array,  // a sparse one: its length, the elements it holds by index, named properties
    ref,           // a back-reference to an object id
};

// What a text node holds, for using it as a property key.
enum class TextKind : std::uint8_t { other, string, number };

struct Node {
    NodeKind kind;
    TextKind text_kind = TextKind::other;
    std::uint32_t a = 0;  // text: pool offset; hex: input offset; containers: their member list; ref: object id
    std::uint32_t b = 0;  // text, hex: length; arrays: the list of named properties
    std::uint64_t length = 0;  // sparse arrays: the length they claim
};

struct Member {
    std::uint32_t key_offset = 0;  // the key as escaped JSON string text, in the pool
    std::uint32_t key_length = 0;
    std::uint32_t node = 0;
};

class ValueTree {
public:
    explicit ValueTree(Bytes input) : input_(input) {}

    // The pool, for writing a text node's text straight into it: note
    // text_start(), append, then add_text_since().
    [[nodiscard]] std::string& pool() noexcept { return pool_; }
    [[nodiscard]] std::size_t text_start() const noexcept { return pool_.size(); }
    std::uint32_t add_text_since(std::size_t start, TextKind kind = TextKind::other);
    std::uint32_t add_text(std::string_view json, TextKind kind = TextKind::other);
    // `bytes` must lie within the input.
    std::uint32_t add_hex(Bytes bytes);
    std::uint32_t add_object();
    std::uint32_t add_list();
    std::uint32_t add_array(bool sparse, std::uint64_t length);
    std::uint32_t add_ref(std::uint32_t object_id);

    // Appends a member; `key` is escaped JSON string text without quotes.
    void add_member(std::uint32_t container, std::string_view key, std::uint32_t node);
    // The same into a list of named properties / elements by index.
    void add_to_list(std::uint32_t list, std::string_view key, std::uint32_t node);
    // Replaces the member named `key`, or appends it.
    void set_member(std::uint32_t object, std::string_view key, std::uint32_t node);

    [[nodiscard]] const Node& node(std::uint32_t index) const noexcept { return nodes_[index]; }
    [[nodiscard]] std::vector<Member>& members(std::uint32_t list) noexcept { return lists_[list]; }
    [[nodiscard]] const std::vector<Member>& members(std::uint32_t list) const noexcept { return lists_[list]; }
    [[nodiscard]] std::string_view text(std::uint32_t offset, std::uint32_t length) const noexcept {
        return std::string_view(pool_).substr(offset, length);
    }
    [[nodiscard]] std::string_view text_of(const Node& n) const noexcept { return text(n.a, n.b); }
    [[nodiscard]] std::string_view key_of(const Member& m) const noexcept { return text(m.key_offset, m.key_length); }
    [[nodiscard]] Bytes input() const noexcept { return input_; }
    [[nodiscard]] std::size_t node_count() const noexcept { return nodes_.size(); }
    // Whether any node is a back-reference: only then are places remembered
    // while writing.
    [[nodiscard]] bool has_refs() const noexcept { return has_refs_; }

    // The value rooted at `root` as JSON text; `objects` maps object ids to
    // nodes for the references. References are paid for from `budget`.
    [[nodiscard]] Decoded<std::string> write_json(std::uint32_t root, const std::vector<std::uint32_t>& objects,
                                                  Budget& budget) const;

private:
    std::uint32_t add_node(Node n);
    std::uint32_t new_list();

    Bytes input_;
    std::string pool_;
    std::vector<Node> nodes_;
    std::vector<std::vector<Member>> lists_;
    bool has_refs_ = false;
};

}  // namespace tarnwick::chromium
