#include "store/db.hpp"

#include <algorithm>

#include "store/store_listing.hpp"

namespace tarnwick {


std::uint64_t DbFile::file_number() const noexcept {
    return std::visit([](const auto& file) { return file.file_number(); }, file_);
}

const std::string& DbFile::path() const noexcept {
    return std::visit([](const auto& file) -> const std::string& { return file.path(); }, file_);
}

void DbFile::read_records(RecordSink sink) const {
    std::visit([&](const auto& file) { file.read_records(sink); }, file_);
}

std::expected<Db, DbError> Db::open(const std::string& in_dir) {
    auto listing = list_store(in_dir, LinkRule::Follow, false);
    if (!listing) return std::unexpected(std::move(listing.error()));
    std::vector<DbFile> files;
    files.reserve(listing->files.size());
    for (const ListedFile& listed : listing->files) {
        const int dir_fd = listing->fd.get();
        switch (listed.kind) {
            case DataFileKind::Table:
                if (auto file = LdbFile::open_at(dir_fd, listed.name, listed.display_path, listed.number, listing->open_as)) {
                    files.emplace_back(std::move(*file));
                }
                break;
            case DataFileKind::Log:
                if (auto file = LogFile::open_at(dir_fd, listed.name, listed.display_path, listed.number, listing->open_as)) {
                    files.emplace_back(std::move(*file));
                }
                break;
        }
    }
    std::optional<Manifest> manifest;
    if (const auto& chosen = listing->manifest) {
        if (auto opened = Manifest::open_named(chosen->path, chosen->number)) manifest.emplace(std::move(*opened));
    }
    return Db(in_dir, std::move(files), std::move(manifest));
}

std::vector<const DbFile*> Db::files_in_order(bool reverse) const {
    std::vector<const DbFile*> order;
    order.reserve(files_.size());
    for (const DbFile& file : files_) order.push_back(&file);  // already in the listing's order
    if (reverse) std::reverse(order.begin(), order.end());
    return order;
}

void Db::read_records(bool reverse, RecordSink sink) const {
    for (const DbFile* file : files_in_order(reverse)) file->read_records(sink);
}

std::vector<Record> Db::records(bool reverse) const {
    std::vector<Record> out;
    read_records(reverse, RecordCollector{out});
    return out;
}

}  // namespace tarnwick
