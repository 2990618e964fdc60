// An operating-system error as the readers carry it: the numeric code and the
// system's own description of it.
#pragma once

#include <string>

namespace tarnwick {

struct OsError {
    int code = 0;
    std::string description;

    // The error number of the last failed call (errno), with its description.
    static OsError last();
    static OsError from_code(int code);

    // The description with trailing white space removed, then " (os error N)".
    [[nodiscard]] std::string message() const;
};

}  // namespace tarnwick
