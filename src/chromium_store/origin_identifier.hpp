// The origin a Chromium origin identifier names.
//
// Chromium names a legacy IndexedDB folder, and records in its database-name
// keys, by an identifier: scheme, '_', host, '_', port ("https_example.com_0",
// "http_localhost_8080"); port 0 stands for the scheme's default port, and an
// IPv6 host keeps its brackets with its colons written as '_'. Identifiers
// kept in IndexedDB's own records end with the default bucket's mark "@1".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::chromium {

// "https://example.com", "http://localhost:8080", "file://"; nothing when the
// text is no identifier.
[[nodiscard]] std::optional<std::string> origin_from_identifier(std::string_view identifier);

}  // namespace tarnwick::chromium
