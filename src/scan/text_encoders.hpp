// Encoders of records as lines of text: JSON Lines, CSV and a short text view.
//
// Keys and values are arbitrary bytes, so every form carries them as hex
// (exact) and as an escaped text for reading: printable ASCII is kept, a
// backslash becomes two, tab, newline and carriage return become \t, \n and \r,
// and every other byte becomes \xNN (lower-case hex). The escaped text is pure
// ASCII and decodes back exactly.
//
// A file's path is text. Where it is not valid UTF-8, each byte that is not
// part of a valid sequence is shown as the lone surrogate U+DC80 + byte, the
// way Python decodes such names (surrogateescape): \udcNN in JSON, the six
// characters "\udcNN" in CSV and in the text view.
//
// - JSON Lines: one object per record with the fields key_hex, key_text,
//   user_key_hex, user_key_text, value_hex, value_text, seq, state, file_type,
//   origin_file, offset, was_compressed; the path written as Python's
//   json.dumps writes it (ASCII only).
// - CSV: a header row with the same names, then a row per record, lines ending
//   in CR LF and cells quoted only where needed, as Python's csv module does.
//   Hex cells start with "\x" (the bytea hex form): without a mark, readers
//   that guess column types (pandas, DuckDB) take a hex string of digits for a
//   number, or an empty one for a missing value. Text cells a spreadsheet
//   would take for a formula, or that start with a single quote, get a
//   leading single quote; so do text cells a type-guessing reader would take
//   for a number, date, boolean or missing value ("123", "true", "null"), so
//   that a text column stays text. Strip one leading quote to undo it.
// - Text view: "NAME offset=N seq=N State Type[ compressed] key="…" value="…"",
//   the file by its name alone, keys and values cut after 64 bytes with their
//   full length added.
#pragma once

#include <cstdint>

#include "util/byte_buffer.hpp"
#include "db/record.hpp"

namespace tarnwick {

enum class TextFormat : std::uint8_t { Jsonl, Csv, Text };

// The header row of a format (the CSV column names; nothing for the others).
void append_text_header(TextFormat format, ByteBuffer& out);

// One record as one line ending in '\n'. `file_number` is the number in the
// name of the record's file; the forms show the file by its path instead, so
// it is not part of the line.
void append_text_record(TextFormat format, const RecordView& record, std::uint64_t file_number, ByteBuffer& out);

}  // namespace tarnwick
