#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace {

// Demangled names of the defined dynamic symbols of a shared library.
std::set<std::string> ReadDynamicSymbols(const std::string& strLibrary)
{
    const std::string strCommand = std::string("'") + SARNEL_NM_PATH + "' -D --defined-only -C '" + strLibrary + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(strCommand.c_str(), "r"), &::pclose);
    std::set<std::string> setSymbols;
    std::array<char, 4096> line{};
    while (pipe && std::fgets(line.data(), static_cast<int>(line.size()), pipe.get()) != nullptr) {
        // "<address> <type> <name>\n"
        const std::string_view strLine(line.data());
        const auto nTypeEnd = strLine.find(' ', strLine.find(' ') + 1);
        if (nTypeEnd != std::string_view::npos && strLine.ends_with('\n')) {
            setSymbols.emplace(strLine.substr(nTypeEnd + 1, strLine.size() - nTypeEnd - 2));
        }
    }
    return setSymbols;
}

// Linker markers and instantiations from the standard library, Qt or JsonCpp
// may show up depending on the toolchain; they are not the library's own.
bool IsForeignSymbol(std::string_view strName)
{
    static constexpr std::array<std::string_view, 11> kArrPrefixes{
        "std::", "__gnu_cxx::", "Json::", "Q", "q", "typeinfo for std::", "typeinfo name for std::", "vtable for std::",
        "_init", "_fini",       "_e"};
    return strName == "__bss_start" || std::any_of(kArrPrefixes.begin(), kArrPrefixes.end(), [strName](auto strPrefix) {
               return strName.starts_with(strPrefix);
           });
}

TEST(SarnelLibrary, ExportsExactlyTheHelperClassMembers)
{
    const std::string strClass = "sarnel::performence_report::CCreatePerformanceReportHelper::";
    const std::set<std::string> setExpected{
        strClass + "CCreatePerformanceReportHelper()",
        strClass + "StartPageReport()",
        strClass + "EndPageReport(QString const&, QWidget const&)",
        strClass + "EndPageElapsedTimeReport(QString const&)",
        strClass + "DoSubWidgetCountReport(QString const&, QWidget const&)",
        strClass + "StartCreatePerformanceReport(QString, QWidget const&, long long)",
        strClass + "DoReport(QString, long long, long long)",
        strClass + "GetChildrenCount(QWidget const&) const",
    };

    std::set<std::string> setOwn;
    for (const auto& strName : ReadDynamicSymbols(SARNEL_LIBRARY_PATH)) {
        if (setExpected.contains(strName)) {
            setOwn.insert(strName);
        } else {
            EXPECT_TRUE(IsForeignSymbol(strName)) << "unexpected export: " << strName;
        }
    }
    EXPECT_EQ(setOwn, setExpected);
}

} // namespace
