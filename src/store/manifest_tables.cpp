#include "store/manifest_tables.hpp"

#include <algorithm>

#include "db/file_pass.hpp"
#include "db/mapped_file.hpp"
#include "log_file/log_reader.hpp"
#include "manifest/version_edit.hpp"

namespace tarnwick {

namespace {

// One addition or deletion of a table, in edit order.
struct TableEdit {
    std::uint64_t number;
    bool added;
};

}  // namespace

std::expected<std::vector<std::uint64_t>, OsError> manifest_live_tables(int dir_fd, const std::string& name, OpenAs as) {
    auto mapped = MappedFile::open_at(dir_fd, name, as);
    if (!mapped) return std::unexpected(std::move(mapped.error()));
    if (auto mapping = mapped->map(); !mapping) return std::unexpected(std::move(mapping.error()));

    std::vector<TableEdit> edits;
    FilePass pass(*mapped);
    for_each_logical_record(pass, [&](std::uint64_t, Bytes payload) {
        for_each_version_edit_field(payload, [&](const VersionEditField& field) {
            if (const auto* added = std::get_if<NewFile>(&field)) edits.push_back({added->number, true});
            if (const auto* deleted = std::get_if<DeletedFile>(&field)) edits.push_back({deleted->number, false});
        });
    });
    // Sorted by number keeping edit order among equal numbers: the last edit
    // of each number decides.
    std::stable_sort(edits.begin(), edits.end(),
                     [](const TableEdit& a, const TableEdit& b) { return a.number < b.number; });
    std::vector<std::uint64_t> live;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        const bool last_of_number = i + 1 == edits.size() || edits[i + 1].number != edits[i].number;
        if (last_of_number && edits[i].added) live.push_back(edits[i].number);
    }
    return live;
}

}  // namespace tarnwick
