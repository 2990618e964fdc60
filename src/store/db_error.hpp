// The two failures that stop a database directory from being opened.
#pragma once

#include <concepts>
#include <string>
#include <utility>
#include <variant>

#include "util/os_error.hpp"

namespace tarnwick {

struct DbError {
    struct NotADirectory { std::string path; };  // the path as the caller gave it
    struct Io { OsError error; };                // the listing failed

    using Kind = std::variant<NotADirectory, Io>;

    Kind kind;

    template <class K>
        requires std::constructible_from<Kind, K&&>
    DbError(K&& k) : kind(std::forward<K>(k)) {}
    DbError(OsError error) : kind(Io{std::move(error)}) {}

    [[nodiscard]] std::string message() const {
        if (const auto* not_dir = std::get_if<NotADirectory>(&kind)) return "Not a directory: " + not_dir->path;
        return "IO error: " + std::get<Io>(kind).error.message();
    }
};

}  // namespace tarnwick
