#pragma once

#include <cstdint>
#include <filesystem>

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
        if (uMajor != other.uMajor) {
            return uMajor < other.uMajor;
        }
        if (uMinor != other.uMinor) {
            return uMinor < other.uMinor;
        }
        if (uPatch != other.uPatch) {
            return uPatch < other.uPatch;
        }
        return uTweak < other.uTweak;
    }
};
