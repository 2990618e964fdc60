// The one name for borrowed bytes that every layer passes around: a view of
// bytes someone else owns (a mapping, a buffer), never a copy.
#pragma once

#include <cstdint>
#include <span>

namespace tarnwick {

using Bytes = std::span<const std::uint8_t>;

}  // namespace tarnwick
