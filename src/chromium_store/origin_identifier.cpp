#include "chromium_store/origin_identifier.hpp"

#include <algorithm>

namespace tarnwick::chromium {

namespace {

constexpr std::string_view default_bucket_mark = "@1";
constexpr std::string_view default_port = "0";

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::string> origin_from_identifier(std::string_view identifier) {
    if (identifier.ends_with(default_bucket_mark)) identifier.remove_suffix(default_bucket_mark.size());
    const auto first = identifier.find('_');
    if (first == std::string_view::npos || first == 0) return std::nullopt;
    const std::string_view scheme = identifier.substr(0, first);
    const std::string_view rest = identifier.substr(first + 1);
    const auto last = rest.rfind('_');
    if (last == std::string_view::npos) return std::nullopt;
    std::string host(rest.substr(0, last));
    const std::string_view port = rest.substr(last + 1);
    if (!all_digits(port)) return std::nullopt;
    if (scheme == "file") return std::string("file://");
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') std::ranges::replace(host, '_', ':');
    if (host.empty()) return std::nullopt;
    std::string origin = std::string(scheme) + "://" + host;
    if (port != default_port) {
        origin += ':';
        origin += port;
    }
    return origin;
}

}  // namespace tarnwick::chromium
