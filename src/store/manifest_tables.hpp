// What a store's manifest says about its table files, set against what the
// directory holds: the tables it lists that are not there, and the tables
// there that it does not list.
//
// A manifest is a log of version edits; each edit adds and deletes table
// files. The tables the store holds now are those whose last edit added them.
// Compactions delete tables all the time, so only the edits applied in order
// tell a table that should be there from one that was rightly removed.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "db/mapped_file.hpp"
#include "util/os_error.hpp"

namespace tarnwick {

// The numbers of the tables a manifest lists as present after its last edit,
// ascending. The manifest is the entry `name` of the directory open as
// `dir_fd`, opened as `as` says. Memory stays a small multiple of the manifest's size, whatever the
// numbers (no hash table for them to collide in). Only a manifest that cannot
// be opened or mapped fails; damage costs the edits it hides.
[[nodiscard]] std::expected<std::vector<std::uint64_t>, OsError> manifest_live_tables(int dir_fd,
                                                                                       const std::string& name,
                                                                                       OpenAs as);

}  // namespace tarnwick
