#include "util/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace tarnwick {

OsError OsError::last() { return from_code(errno); }

OsError OsError::from_code(int code) {
    char buffer[256];
    // strerror_r comes in two flavours; the GNU one may return a static string
    // instead of filling the buffer.
#if defined(_GNU_SOURCE)
    const char* text = strerror_r(code, buffer, sizeof buffer);
#else
    const char* text = strerror_r(code, buffer, sizeof buffer) == 0 ? buffer : "Unknown error";
#endif
    return OsError{code, text};
}

std::string OsError::message() const {
    std::string text = description;
    while (!text.empty() && (text.back() == ' ' || (text.back() >= '\t' && text.back() <= '\r'))) {
        text.pop_back();
    }
    return text + " (os error " + std::to_string(code) + ")";
}

}  // namespace tarnwick
