#pragma once

// How every stand-in hands on what it was given: one compact JSON line per
// record, appended to a file a test or a person names in the environment.

#include <cstdlib>
#include <fstream>
#include <string>

#include <json/value.h>
#include <json/writer.h>

namespace lxstandin {

// Compact output escapes control characters, so the text holds no newline.
inline std::string FormatJsonLine(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value) + '\n';
}

// Appends the line to the file named by the environment variable, read on
// every call so a test can point it elsewhere between records; does nothing
// when the variable is unset or empty.
inline void AppendToFileNamedBy(const char* szEnvName, const std::string& strLine)
{
    const char* szPath = std::getenv(szEnvName);
    if (szPath == nullptr || *szPath == '\0') {
        return;
    }
    std::ofstream out(szPath, std::ios::out | std::ios::app | std::ios::binary);
    out.write(strLine.data(), static_cast<std::streamsize>(strLine.size()));
}

} // namespace lxstandin
