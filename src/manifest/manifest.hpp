// The MANIFEST file: a log-format file whose logical records are version
// edits. It is read and held with the database; nothing else depends on it.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <span>
#include <variant>
#include <utility>
#include <vector>

#include "db/mapped_file.hpp"
#include "manifest/file_levels.hpp"

namespace tarnwick {

struct ManifestError {
    struct Io { OsError error; };
    struct InvalidFilename {};

    using Kind = std::variant<Io, InvalidFilename>;

    Kind kind;

    template <class K>
        requires std::constructible_from<Kind, K&&>
    ManifestError(K&& k) : kind(std::forward<K>(k)) {}
    ManifestError(OsError error) : kind(Io{std::move(error)}) {}

    [[nodiscard]] std::string message() const;
};

// The number of a manifest name: "MANIFEST-" (exactly, upper case) followed by
// a number that parse_hex_number accepts. Absent for any other name.
[[nodiscard]] std::optional<std::uint64_t> manifest_number(std::string_view file_name) noexcept;

// Chooses the manifest of a directory while it is listed: the candidate with
// the highest number, the first listed among equal numbers.
class ManifestChoice {
   public:
    struct Chosen {
        std::string path;
        std::uint64_t number;
    };

    void offer(std::string_view file_name, const std::string& full_path);
    const std::optional<Chosen>& chosen() const noexcept { return chosen_; }

   private:
    std::optional<Chosen> chosen_;
};

class Manifest {
   public:
    // Checks the name before touching the file, then opens, maps and decodes
    // every version edit. Content never makes this fail.
    [[nodiscard]] static std::expected<Manifest, ManifestError> open(const std::string& path);
    // The same for a path whose name the caller has already read as `number`
    // (the manifest that ManifestChoice chose).
    [[nodiscard]] static std::expected<Manifest, ManifestError> open_named(const std::string& path,
                                                                           std::uint64_t number);

    const std::string& path() const noexcept { return path_; }
    std::uint64_t file_number() const noexcept { return file_number_; }
    // Every table file that any edit added, with the level of its last
    // addition, sorted by number. Deletions are not applied.
    std::span<const FileLevel> file_levels() const noexcept { return file_levels_; }

   private:
    Manifest(MappedFile mapped, std::string path, std::uint64_t file_number)
        : mapped_(std::move(mapped)), path_(std::move(path)), file_number_(file_number) {}

    MappedFile mapped_;
    std::string path_;
    std::vector<FileLevel> file_levels_;
    std::uint64_t file_number_;
};

}  // namespace tarnwick
