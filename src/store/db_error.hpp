// The two failures that stop a database directory from being opened.
#pragma once

#include <string>
#include <variant>

#include "util/os_error.hpp"

namespace tarnwick {

struct DbError {
    struct NotADirectory { std::string path; };  // the path as the caller gave it
    struct Io { OsError error; };                // the listing failed

    std::variant<NotADirectory, Io> kind;

    std::string message() const {
        if (const auto* not_dir = std::get_if<NotADirectory>(&kind)) return "Not a directory: " + not_dir->path;
        return "IO error: " + std::get<Io>(kind).error.message();
    }
};

}  // namespace tarnwick
