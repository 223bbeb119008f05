#pragma once

#include <cstdint>
#include <filesystem>
#include <tuple>

struct Version {
    uint32_t uMajor = 0;
    uint32_t uMinor = 0;
    uint32_t uPatch = 0;
    uint32_t uTweak = 0;
    std::filesystem::path path;

    bool operator==(const Version& other) const = default;

    // Orders by the four numbers only; the directory takes no part.
    bool operator<(const Version& other) const
    {
        return std::tie(uMajor, uMinor, uPatch, uTweak) <
               std::tie(other.uMajor, other.uMinor, other.uPatch, other.uTweak);
    }
};
