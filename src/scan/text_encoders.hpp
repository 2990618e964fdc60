// Encoders of records as lines of text: JSON Lines, CSV and a short text view.
#pragma once

#include <cstdint>

#include "db/byte_buffer.hpp"
#include "db/record.hpp"

namespace tarnwick {

enum class TextFormat : std::uint8_t { Jsonl, Csv, Text };

// The header row of a format (the CSV column names; nothing for the others).
void append_text_header(TextFormat format, ByteBuffer& out);

// One record as one line ending in '\n'.
void append_text_record(TextFormat format, const RecordView& record, std::uint64_t file_number, ByteBuffer& out);

}  // namespace tarnwick
