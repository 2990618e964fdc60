#include "scan/read_report.hpp"

#include "db/record_names.hpp"
#include "store/manifest_tables.hpp"
#include "util/file_name.hpp"

#include <algorithm>

namespace tarnwick {

void ReportObserver::block_read(std::uint64_t, std::uint64_t) { ++report_.blocks_read; }

void ReportObserver::block_carved(std::uint64_t offset, std::uint64_t size) {
    ++report_.blocks_read;
    report_.status = FileReport::Status::Salvaged;
    // Blocks carved back to back make one range.
    if (!report_.carved.empty() && report_.carved.back().end == offset) {
        report_.carved.back().end = offset + size;
        return;
    }
    report_.carved.push_back({offset, offset + size});
}

void ReportObserver::block_skipped(std::uint64_t offset, std::uint64_t size, std::string_view reason) {
    ++report_.blocks_skipped;
    // A handle can claim a range no file could hold; the range is cut at the
    // end of the file, where nothing more could have been read anyway.
    const std::uint64_t end = size > report_.size - std::min(offset, report_.size) ? report_.size : offset + size;
    add_unread(std::min(offset, report_.size), end, reason);
}

void ReportObserver::bytes_skipped(std::uint64_t begin, std::uint64_t end, std::string_view reason) {
    add_unread(begin, end, reason);
}

void ReportObserver::stopped(std::uint64_t offset, std::string_view reason) {
    add_unread(offset, report_.size, reason);
}

void ReportObserver::add_unread(std::uint64_t begin, std::uint64_t end, std::string_view reason) {
    if (begin >= end) return;
    // Neighbouring stretches lost for the same reason make one range.
    if (!report_.unread.empty()) {
        UnreadRange& last = report_.unread.back();
        if (last.end == begin && last.reason == reason) {
            last.end = end;
            return;
        }
    }
    report_.unread.push_back({begin, end, std::string(reason)});
}

ReadReport initial_report(const StoreListing& listing) {
    ReadReport report;
    report.directory = listing.directory;
    report.files.reserve(listing.files.size());
    for (const ListedFile& file : listing.files) {
        FileReport line;
        line.name = file.name;
        line.display_path = file.display_path;
        line.kind = file.kind;
        line.number = file.number;
        line.size = file.size;
        report.files.push_back(std::move(line));
    }
    report.others = listing.others;
    return report;
}

void settle_completeness(ReadReport& report) noexcept {
    bool complete = report.finished;
    for (const FileReport& file : report.files) {
        const bool whole = file.status == FileReport::Status::Filtered ||
                           (file.status == FileReport::Status::Read && file.unread.empty());
        complete = complete && whole;
    }
    for (const ListedEntry& entry : report.others) complete = complete && entry.status == ListedEntry::Status::NotData;
    report.complete = complete;
}

std::optional<ManifestReport> manifest_report(const StoreListing& listing) {
    if (!listing.manifest) return std::nullopt;
    ManifestReport manifest;
    manifest.name = std::string(file_name_of(listing.manifest->path));
    // Only a manifest listed as a regular file of the store is read: a link
    // is never followed.
    const auto entry = std::ranges::find_if(listing.others, [&](const ListedEntry& e) { return e.name == manifest.name; });
    if (entry == listing.others.end() || entry->status != ListedEntry::Status::NotData) {
        manifest.reason = entry == listing.others.end() ? "not a file of the store" : entry->reason;
        return manifest;
    }
    auto live = manifest_live_tables(listing.fd.get(), manifest.name, listing.open_as);
    if (!live) {
        manifest.reason = live.error().message();
        return manifest;
    }
    manifest.read = true;
    std::vector<std::uint64_t> present;  // the numbers of the table files there, ascending
    for (const ListedFile& file : listing.files) {
        if (file.kind == DataFileKind::Table) present.push_back(file.number);
    }
    std::ranges::sort(present);
    for (const std::uint64_t number : *live) {
        if (!std::ranges::binary_search(present, number)) manifest.missing.push_back(number);
    }
    for (const ListedFile& file : listing.files) {
        if (file.kind == DataFileKind::Table && !std::ranges::binary_search(*live, file.number)) {
            manifest.unlisted.push_back(file.name);
        }
    }
    std::ranges::sort(manifest.unlisted);
    return manifest;
}

std::string_view status_name(FileReport::Status status) noexcept {
    switch (status) {
        case FileReport::Status::Pending: return "pending";
        case FileReport::Status::Read: return "read";
        case FileReport::Status::LeftOut: return "left_out";
        case FileReport::Status::Filtered: return "filtered";
        case FileReport::Status::Salvaged: return "salvaged";
    }
    return "pending";
}

std::string_view status_name(ListedEntry::Status status) noexcept {
    switch (status) {
        case ListedEntry::Status::NotAdmitted: return "not_admitted";
        case ListedEntry::Status::NotData: return "not_data";
        case ListedEntry::Status::Link: return "link";
    }
    return "not_admitted";
}

std::string_view kind_name(DataFileKind kind) noexcept { return name_of(file_kind_of(kind)); }

}  // namespace tarnwick
