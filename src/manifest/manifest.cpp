#include "manifest/manifest.hpp"

#include "util/file_name.hpp"
#include "db/file_pass.hpp"
#include "log_file/log_reader.hpp"
#include "manifest/file_levels.hpp"
#include "manifest/version_edit.hpp"

namespace tarnwick {

std::string ManifestError::message() const {
    if (const auto* io = std::get_if<Io>(&kind)) return "manifest I/O error: " + io->error.message();
    return "invalid manifest filename";
}

std::optional<std::uint64_t> manifest_number(std::string_view file_name) noexcept {
    constexpr std::string_view prefix = "MANIFEST-";
    if (!file_name.starts_with(prefix)) return std::nullopt;
    return parse_hex_number(file_name.substr(prefix.size()));
}

void ManifestChoice::offer(std::string_view file_name, const std::string& full_path) {
    const auto number = manifest_number(file_name);
    if (!number) return;
    if (!chosen_ || *number > chosen_->number) chosen_ = Chosen{full_path, *number};
}

std::expected<Manifest, ManifestError> Manifest::open(const std::string& path) {
    const std::string_view name = file_name_of(path);
    const auto number = is_valid_utf8(name) ? manifest_number(name) : std::nullopt;
    if (!number) return std::unexpected(ManifestError{ManifestError::InvalidFilename{}});
    return open_named(path, *number);
}

std::expected<Manifest, ManifestError> Manifest::open_named(const std::string& path, std::uint64_t number) {
    auto mapped = MappedFile::open(path);
    if (!mapped) return std::unexpected(ManifestError{std::move(mapped.error())});
    if (auto mapping = mapped->map(); !mapping) {
        return std::unexpected(ManifestError{std::move(mapping.error())});
    }
    Manifest manifest(std::move(*mapped), path, number);
    FileLevelGatherer gatherer(manifest.mapped_.length());
    FilePass pass(manifest.mapped_);
    for_each_logical_record(pass, [&](std::uint64_t, Bytes payload) {
        for_each_version_edit_field(payload, [&](const VersionEditField& field) {
            if (const auto* added = std::get_if<NewFile>(&field)) gatherer.add(added->number, added->level);
        });
    });
    manifest.file_levels_ = std::move(gatherer).finish();
    return manifest;
}

}  // namespace tarnwick
