#include "chromium_decode/value_tree.hpp"

#include <limits>
#include <unordered_map>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

std::uint32_t ValueTree::add_node(Node n) {
    nodes_.push_back(n);
    return static_cast<std::uint32_t>(nodes_.size() - 1);
}

std::uint32_t ValueTree::new_list() {
    lists_.emplace_back();
    return static_cast<std::uint32_t>(lists_.size() - 1);
}

std::uint32_t ValueTree::add_text_since(std::size_t start, TextKind kind) {
    return add_node({NodeKind::text, kind, static_cast<std::uint32_t>(start),
                     static_cast<std::uint32_t>(pool_.size() - start), 0});
}

std::uint32_t ValueTree::add_text(std::string_view json, TextKind kind) {
    const std::size_t start = pool_.size();
    pool_ += json;
    return add_text_since(start, kind);
}

std::uint32_t ValueTree::add_hex(Bytes bytes) {
    return add_node({NodeKind::hex, TextKind::other, static_cast<std::uint32_t>(bytes.data() - input_.data()),
                     static_cast<std::uint32_t>(bytes.size()), 0});
}

std::uint32_t ValueTree::add_object() { return add_node({NodeKind::object, TextKind::other, new_list(), 0, 0}); }

std::uint32_t ValueTree::add_list() { return add_node({NodeKind::list, TextKind::other, new_list(), 0, 0}); }

std::uint32_t ValueTree::add_array(bool sparse, std::uint64_t length) {
    const std::uint32_t items = new_list();
    const std::uint32_t properties = new_list();
    return add_node({sparse ? NodeKind::sparse_array : NodeKind::array, TextKind::other, items, properties, length});
}

std::uint32_t ValueTree::add_ref(std::uint32_t object_id) {
    has_refs_ = true;
    return add_node({NodeKind::ref, TextKind::other, object_id, 0, 0});
}

void ValueTree::add_to_list(std::uint32_t list, std::string_view key, std::uint32_t node) {
    const auto offset = static_cast<std::uint32_t>(pool_.size());
    pool_ += key;
    lists_[list].push_back({offset, static_cast<std::uint32_t>(key.size()), node});
}

void ValueTree::add_member(std::uint32_t container, std::string_view key, std::uint32_t node) {
    add_to_list(nodes_[container].a, key, node);
}

void ValueTree::set_member(std::uint32_t object, std::string_view key, std::uint32_t node) {
    for (auto& m : lists_[nodes_[object].a]) {
        if (key_of(m) == key) {
            m.node = node;
            return;
        }
    }
    add_member(object, key, node);
}

namespace {

constexpr std::uint32_t unvisited = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t at_root = unvisited - 1;

// One step of a JSON Pointer: '~' and '/' in a key are written ~0 and ~1.
// Keys are escaped JSON text already; JSON escapes never contain either.
void append_pointer_step(std::string& out, std::string_view key) {
    out += '/';
    for (const char c : key) {
        if (c == '~') {
            out += "~0";
        } else if (c == '/') {
            out += "~1";
        } else {
            out += c;
        }
    }
}

class Writer {
public:
    Writer(const ValueTree& tree, const std::vector<std::uint32_t>& objects, Budget& budget)
        : tree_(tree), objects_(objects), budget_(budget), places_(tree.has_refs()),
          parent_(places_ ? tree.node_count() : 0, unvisited), step_(places_ ? tree.node_count() : 0, {0, 0}) {}

    Decoded<std::string> write(std::uint32_t root) {
        if (auto r = visit(root, at_root); !r) return std::unexpected(r.error());
        while (!stack_.empty()) {
            if (auto r = advance(); !r) return std::unexpected(r.error());
        }
        return std::move(out_);
    }

private:
    struct Frame {
        std::uint32_t node;
        std::uint8_t section;  // arrays: 0 elements, 1 named properties
        std::size_t index;
    };

    // Writes a node, or its opening and pushes it; `steps_` holds the pointer
    // steps from the parent to it.
    Decoded<void> visit(std::uint32_t index, std::uint32_t parent) {
        const Node& n = tree_.node(index);
        if (n.kind == NodeKind::ref) return write_ref(n.a);
        if (!places_) {
            // Nothing refers back: no place needs remembering.
        } else if (parent_[index] == unvisited) {
            parent_[index] = parent;
            step_[index] = {static_cast<std::uint32_t>(steps_.size() - pending_step_), pending_step_};
        } else {
            steps_.resize(steps_.size() - pending_step_);
        }
        pending_step_ = 0;
        switch (n.kind) {
            case NodeKind::text: out_ += tree_.text_of(n); return {};
            case NodeKind::hex: append_json_hex(out_, tree_.input().subspan(n.a, n.b)); return {};
            case NodeKind::object: out_ += '{'; break;
            case NodeKind::list: out_ += '['; break;
            case NodeKind::array:
                out_ += tree_.members(n.b).empty() ? "[" : R"({"$array":[)";
                break;
            case NodeKind::sparse_array:
                out_ += R"({"$sparse_array":)";
                out_ += std::to_string(n.length);
                out_ += R"(,"items":{)";
                break;
            case NodeKind::ref: break;
        }
        stack_.push_back({index, 0, 0});
        return {};
    }

    void note_step(std::string_view prefix, std::string_view key) {
        if (!places_) return;
        const std::size_t before = steps_.size();
        steps_ += prefix;
        append_pointer_step(steps_, key);
        pending_step_ = static_cast<std::uint32_t>(steps_.size() - before);
    }

    Decoded<void> advance() {
        Frame& f = stack_.back();
        const std::uint32_t index = f.node;
        const Node& n = tree_.node(index);
        const bool keyed_items = n.kind == NodeKind::object || n.kind == NodeKind::sparse_array;
        const std::uint32_t list = f.section == 0 ? n.a : n.b;
        const auto& members = tree_.members(list);
        if (f.index < members.size()) {
            const Member& m = members[f.index];
            if (f.index > 0) out_ += ',';
            const bool keyed = f.section == 1 || keyed_items;
            std::string_view prefix;
            if (n.kind == NodeKind::array && !tree_.members(n.b).empty()) {
                prefix = f.section == 0 ? "/$array" : "/properties";
            } else if (n.kind == NodeKind::sparse_array) {
                prefix = f.section == 0 ? "/items" : "/properties";
            }
            if (keyed) {
                out_ += '"';
                out_ += tree_.key_of(m);
                out_ += "\":";
                note_step(prefix, tree_.key_of(m));
            } else {
                if (places_) note_step(prefix, std::to_string(f.index));
            }
            ++f.index;
            return visit(m.node, index);
        }
        // The end of a list of members.
        if ((n.kind == NodeKind::array || n.kind == NodeKind::sparse_array) && f.section == 0 &&
            !tree_.members(n.b).empty()) {
            out_ += n.kind == NodeKind::array ? R"(],"properties":{)" : R"(},"properties":{)";
            f.section = 1;
            f.index = 0;
            return {};
        }
        switch (n.kind) {
            case NodeKind::object: out_ += '}'; break;
            case NodeKind::list: out_ += ']'; break;
            case NodeKind::array: out_ += tree_.members(n.b).empty() ? "]" : "}}"; break;
            default: out_ += "}}"; break;
        }
        stack_.pop_back();
        return {};
    }

    Decoded<void> write_ref(std::uint32_t object_id) {
        steps_.resize(steps_.size() - pending_step_);
        pending_step_ = 0;
        const std::uint32_t target = objects_[object_id];
        if (parent_[target] == unvisited) {
            // Its object comes later in the text (crafted data only).
            out_ += R"({"$ref":null,"object":)";
            out_ += std::to_string(object_id);
            out_ += '}';
            return {};
        }
        auto [it, fresh] = spelled_.try_emplace(target);
        if (fresh) it->second = pointer(target);
        if (auto r = budget_.charge(value_cost + it->second.size(), "a reference"); !r) return r;
        out_ += R"({"$ref":")";
        out_ += it->second;
        out_ += "\"}";
        return {};
    }

    std::string pointer(std::uint32_t node) const {
        std::vector<std::string_view> parts;
        for (std::uint32_t at = node; parent_[at] != at_root; at = parent_[at]) {
            parts.push_back(std::string_view(steps_).substr(step_[at].first, step_[at].second));
        }
        std::string text;
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) text += *it;
        return text;
    }

    const ValueTree& tree_;
    const std::vector<std::uint32_t>& objects_;
    Budget& budget_;
    const bool places_;
    std::string out_;
    std::vector<Frame> stack_;
    // Where each node was first written: its parent and the pointer steps
    // from there (an offset and length in steps_).
    std::vector<std::uint32_t> parent_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> step_;
    std::string steps_;
    std::uint32_t pending_step_ = 0;
    std::unordered_map<std::uint32_t, std::string> spelled_;
};

}  // namespace

Decoded<std::string> ValueTree::write_json(std::uint32_t root, const std::vector<std::uint32_t>& objects,
                                           Budget& budget) const {
    return Writer(*this, objects, budget).write(root);
}

}  // namespace tarnwick::chromium
