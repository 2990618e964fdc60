// What the records of one kind of Chromium store mean.
//
// A store is read in two passes. The first shows the interpreter every record
// (`learn`): it keeps what other records refer to -- IndexedDB's database,
// object store and index names, Session Storage's map owners, Local Storage's
// commit times -- and nothing per record, so its memory grows with the
// store's metadata, not with its records. The second pass decodes each record
// into a row (`decode`). Both passes see the records in the same order, and
// one record's failure only ever costs its own row (`DecodedRow::error`).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "chromium_store/decoded_row.hpp"
#include "chromium_store/key_precheck.hpp"
#include "db/record.hpp"

namespace tarnwick::chromium {

// What the caller knows of the store from where it lies.
struct StoreContext {
    StoreKind kind;
    // The origin that the store's folder names (a legacy IndexedDB folder
    // "https_example.com_0.indexeddb.leveldb"), when it names one.
    std::optional<std::string> folder_origin;
    // IndexedDB: the folder of the store's blob files ("….indexeddb.blob" or
    // "indexeddb.blob"), which may not exist.
    std::string blob_folder;
    // Whether rows of bookkeeping records may be asked for. When they may
    // not, an interpreter need not learn what only they show (IndexedDB:
    // which index entries are stale, one entry per primary key).
    bool bookkeeping_rows = true;
};

class StoreInterpreter {
   public:
    virtual ~StoreInterpreter() = default;

    // First pass: every record of the store, in reading order.
    virtual void learn(const RecordView& record) = 0;
    // The first pass is over.
    virtual void learned() = 0;
    // Second pass: the meaning of one record. `row` comes cleared; the caller
    // fills in the record's own facts (state, sequence number, file, offset)
    // and the version label.
    virtual void decode(const RecordView& record, DecodedRow& row) = 0;
    // Both passes, when the caller filters rows, before anything else:
    // whether the record could give a row the filter keeps, judged from its
    // key bytes alone (key_precheck.hpp). It may pass a record the filter
    // then refuses, never refuse one it would keep, and it judges a record
    // alike in both passes: a refused record is neither learned by the
    // version labels nor decoded (the interpreter still `learn`s it).
    [[nodiscard]] virtual bool may_select(Bytes user_key, const KeyPrecheck& check) const {
        (void)user_key;
        (void)check;
        return true;
    }
    // Second pass, when the caller filters rows, before `decode`: what the
    // row will say of its record_type, origin and key, without decoding its
    // value, so that a record the caller does not want costs no value
    // decoding. `row` comes cleared. False when the interpreter cannot tell
    // more cheaply than `decode` does; the caller then decodes the whole row.
    virtual bool describe(const RecordView& record, DecodedRow& row) {
        (void)record;
        (void)row;
        return false;
    }
};

[[nodiscard]] std::unique_ptr<StoreInterpreter> make_local_storage_interpreter(const StoreContext& context);
[[nodiscard]] std::unique_ptr<StoreInterpreter> make_session_storage_interpreter(const StoreContext& context);
[[nodiscard]] std::unique_ptr<StoreInterpreter> make_indexeddb_interpreter(const StoreContext& context);

}  // namespace tarnwick::chromium
