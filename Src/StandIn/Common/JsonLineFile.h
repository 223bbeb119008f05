#pragma once

// How every stand-in hands on what it was given: one compact JSON line per
// record, appended to a file a test or a person names in the environment.

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include <json/value.h>
#include <json/writer.h>

namespace lxstandin {

// Compact output escapes control characters, so the text holds no newline.
// A writer must not be shared between threads and costs about as much to
// make as to use, so each thread makes one, once.
inline std::string FormatJsonLine(const Json::Value& value)
{
    thread_local const std::unique_ptr<Json::StreamWriter> t_pWriter = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream out;
    t_pWriter->write(value, &out);
    out << '\n';
    return std::move(out).str();
}

// The file the environment variable names, read on every call so a test can
// point it elsewhere between records; null when it is unset or empty.
inline const char* FileNamedBy(const char* szEnvName)
{
    const char* szPath = std::getenv(szEnvName);
    return szPath != nullptr && *szPath != '\0' ? szPath : nullptr;
}

inline void AppendToFile(const char* szPath, const std::string& strLine)
{
    std::ofstream out(szPath, std::ios::out | std::ios::app | std::ios::binary);
    out.write(strLine.data(), static_cast<std::streamsize>(strLine.size()));
}

// Does nothing when the environment names no file.
inline void AppendToFileNamedBy(const char* szEnvName, const std::string& strLine)
{
    if (const char* szPath = FileNamedBy(szEnvName); szPath != nullptr) {
        AppendToFile(szPath, strLine);
    }
}

} // namespace lxstandin
