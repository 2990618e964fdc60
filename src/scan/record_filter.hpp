// Which records a scan delivers: the filters are applied by the workers, so
// that records the caller does not want are never copied.
#pragma once

#include <cstdint>
#include <string>

#include "db/data_file_name.hpp"
#include "db/record.hpp"

namespace tarnwick {

struct RecordFilter {
    // The user key must start with these bytes (empty: every key).
    std::string key_prefix;
    // Bit 1 << KeyState for each state delivered.
    std::uint8_t states = ALL_STATES;
    // Bit 1 << FileKind for each kind of file read.
    std::uint8_t file_kinds = ALL_FILE_KINDS;

    static constexpr std::uint8_t ALL_STATES = 0b111;
    static constexpr std::uint8_t ALL_FILE_KINDS = 0b11;

    [[nodiscard]] bool reads(DataFileKind kind) const noexcept {
        const auto bit = static_cast<unsigned>(kind == DataFileKind::Table ? FileKind::Table : FileKind::Log);
        return (file_kinds >> bit) & 1U;
    }

    [[nodiscard]] bool accepts(const RecordView& record) const noexcept {
        if (((states >> static_cast<unsigned>(record.state)) & 1U) == 0) return false;
        if (key_prefix.empty()) return true;
        const Bytes user_key = record.user_key();
        return user_key.size() >= key_prefix.size() &&
               std::equal(key_prefix.begin(), key_prefix.end(), user_key.begin(),
                          [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
    }
};

}  // namespace tarnwick
