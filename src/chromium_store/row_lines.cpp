#include "chromium_store/row_lines.hpp"

#include "chromium_decode/json_text.hpp"
#include "chromium_store/row_schema.hpp"
#include "chromium_store/row_text.hpp"
#include "scan/text_chunks.hpp"

namespace tarnwick::chromium {

namespace {

class LineWriter {
   public:
    explicit LineWriter(std::string& out) : out_(out) { out_ += '{'; }
    void end() { out_ += "}\n"; }

    void name(RowColumn column) {
        if (!first_) out_ += ',';
        first_ = false;
        out_ += '"';
        out_ += ROW_COLUMN_NAMES[static_cast<std::size_t>(column)];
        out_ += "\":";
    }
    void optional_text(RowColumn column, const std::optional<std::string>& value) {
        name(column);
        if (value) append_json_text(out_, *value);
        else out_ += "null";
    }
    void text(RowColumn column, std::string_view value) {
        name(column);
        append_json_text(out_, value);
    }
    void json(RowColumn column, const std::optional<std::string>& value) {
        name(column);
        out_ += value ? std::string_view(*value) : std::string_view("null");
    }
    void number(RowColumn column, std::uint64_t value) {
        name(column);
        out_ += std::to_string(value);
    }
    void null(RowColumn column) {
        name(column);
        out_ += "null";
    }
    void hex(RowColumn column, Bytes bytes) {
        name(column);
        append_json_hex(out_, bytes);
    }

   private:
    std::string& out_;
    bool first_ = true;
};

}  // namespace

void append_row_line(std::string& out, const RowFacts& facts, const DecodedRow& row) {
    const bool failed = row.error.has_value();
    LineWriter line(out);
    line.text(RowColumn::StoreKind, facts.store_kind);
    line.optional_text(RowColumn::Origin, row.origin);
    line.optional_text(RowColumn::TopLevelSite, row.top_level_site);
    line.optional_text(RowColumn::Database, row.database);
    line.optional_text(RowColumn::ObjectStore, row.object_store);
    line.optional_text(RowColumn::Index, row.index);
    line.text(RowColumn::RecordType, row.record_type);
    line.json(RowColumn::Key, row.key_json);
    if (failed && !row.key_json) line.null(RowColumn::KeyType);
    else line.text(RowColumn::KeyType, js_type(row.key_json));
    line.json(RowColumn::Value, row.value_json);
    if (failed) line.null(RowColumn::ValueType);
    else line.text(RowColumn::ValueType, js_type(row.value_json));
    line.text(RowColumn::State, state_word(facts.state));
    if (row.version_status == VersionStatus::None) line.null(RowColumn::VersionStatus);
    else line.text(RowColumn::VersionStatus, version_status_word(row.version_status));
    line.number(RowColumn::Seq, facts.seq);
    line.text(RowColumn::File, facts.file);
    line.number(RowColumn::Offset, facts.offset);
    line.optional_text(RowColumn::Namespace, row.namespace_id);
    line.optional_text(RowColumn::StorageKey, row.storage_key);
    line.text(RowColumn::StorePath, facts.store_path);
    line.optional_text(RowColumn::Error, row.error);
    if (failed) line.hex(RowColumn::RawKey, facts.user_key);
    else line.null(RowColumn::RawKey);
    if (failed && !facts.value.empty()) line.hex(RowColumn::RawValue, facts.value);
    else line.null(RowColumn::RawValue);
    line.json(RowColumn::Details, row.details.object());
    line.end();
}

void RowLinesSink::add(const RowFacts& facts, const DecodedRow& row) { append_row_line(text_, facts, row); }

std::unique_ptr<Chunk> RowLinesSink::take() {
    auto chunk = std::make_unique<TextChunk>();
    chunk->text.append(Bytes(reinterpret_cast<const std::uint8_t*>(text_.data()), text_.size()));
    text_.clear();
    return chunk;
}

}  // namespace tarnwick::chromium
