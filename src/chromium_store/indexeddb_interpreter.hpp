// What the records of an IndexedDB store mean (make_indexeddb_interpreter).
//
// Every key starts with the «database, object store, index» prefix
// (idb_coding.hpp): (0, 0, 0) global metadata, (db, 0, 0) a database's
// metadata, index 1 an object store's records, 2 their "exists" entries, 3
// their external-object lists, 30 and up the user indexes. A record's value
// is a varint record version, then Blink's SerializedScriptValue, or one of
// the prefixed forms of chromium_decode/idb_value.hpp (compressed, or kept in
// a blob file).
//
// Names come from other records (idb_metadata.hpp), learned in the first
// pass; the second decodes each record into its row.
#pragma once

#include "chromium_store/store_interpreter.hpp"
