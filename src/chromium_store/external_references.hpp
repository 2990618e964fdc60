// The Blobs and Files inside a decoded IndexedDB value, described.
//
// The value decoder writes each Blob, File and FileList entry that refers to
// the record's external-object list as {"index": n, "missing": true} (under a
// "$blob", "$file" or "$filelist" tag). Here each becomes the description of
// its list entry, with the blob file's bytes inline as hex (or why they are
// not: missing, a link, a FIFO, too large). The tags cannot appear anywhere
// else in the text: a string's quotes are escaped, and an object key that
// starts with '$' gets a second one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chromium_decode/budget.hpp"
#include "chromium_store/external_objects.hpp"

namespace tarnwick::chromium {

struct ExternalFiles {
    std::string blob_folder;
    std::uint64_t database_id = 0;
};

// Rewrites `json` in place. The bytes inlined are charged to `budget`; the
// files found but not read are added to `unread_files` as JSON objects
// ({"file": path, "reason": words}).
[[nodiscard]] Decoded<void> resolve_external_references(std::string& json, const std::vector<ExternalObject>& objects,
                                                        const ExternalFiles& files, Budget& budget,
                                                        std::vector<std::string>& unread_files);

// A file system path as a JSON string (Latin-1 when it is not UTF-8).
void append_path_json(std::string& out, const std::string& path);
// {"file": path, "reason": words} for a blob file found but not read.
[[nodiscard]] std::string unread_file_json(const std::string& path, const std::string& reason);

}  // namespace tarnwick::chromium
