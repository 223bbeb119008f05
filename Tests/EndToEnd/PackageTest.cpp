// The packages release engineering ships: what they hold, the run paths of
// what they hold, and that the unpacked installation runs.

#include <string>

#include <gtest/gtest.h>

#include "InstallSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

fs::path FindOne(const fs::path& pathDir, const std::string& strSuffix, const std::string& strPrefix = {})
{
    for (const auto& entry : fs::directory_iterator(pathDir)) {
        const std::string strName = entry.path().filename().string();
        if (strName.size() > strSuffix.size() && strName.ends_with(strSuffix) && strName.starts_with(strPrefix)) {
            return entry.path();
        }
    }
    return {};
}

std::string DynamicSection(const fs::path& path)
{
    return RunProcess({"/usr/bin/readelf", "-d", path.string()}).strStdout;
}

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_pDir = new TempDir;
        s_result = RunProcess({kszCPack, "-G", "TGZ;DEB", "--config", std::string(kszBuildDir) + "/CPackConfig.cmake",
                               "-B", (*s_pDir / "out").string()},
                              {{}, {}, false, 300});
    }
    static void TearDownTestSuite()
    {
        delete s_pDir;
        s_pDir = nullptr;
    }
    void SetUp() override { ASSERT_EQ(s_result.nExitStatus, 0) << s_result.strStdout << s_result.strStderr; }

    static inline TempDir* s_pDir = nullptr;
    static inline ProcessResult s_result;
};

// The versioned package holds the version directory, the metapackage the
// desktop entry; the command is the alternatives link, in neither.
TEST_F(PackageTest, DebsHoldTheVersionDirectoryAndTheDesktopEntry)
{
    const std::string strVersioned = std::string("orvalo-client-") + kszVersionDir;
    const fs::path pathVersioned = FindOne(*s_pDir / "out", "_amd64.deb", strVersioned + "_" + kszVersion);
    const fs::path pathMeta = FindOne(*s_pDir / "out", "_all.deb", std::string("orvalo-client_") + kszVersion);
    ASSERT_FALSE(pathVersioned.empty());
    ASSERT_FALSE(pathMeta.empty());
    const std::string strContents = RunProcess({"/usr/bin/dpkg-deb", "-c", pathVersioned.string()}).strStdout;
    const std::string strMetaContents = RunProcess({"/usr/bin/dpkg-deb", "-c", pathMeta.string()}).strStdout;
    const std::string strVersionDir = std::string("./opt/orvalo/") + kszVersionDir + "/";
    for (const char* szFile :
         {"launcher", "libLxAppStartProcess.so", "libSarnel.so", "libVantrel.so", "libOstrum.so"}) {
        EXPECT_NE(strContents.find(strVersionDir + szFile + "\n"), std::string::npos) << szFile << "\n" << strContents;
    }
    EXPECT_EQ((strContents + strMetaContents).find("./usr/bin/"), std::string::npos) << strContents << strMetaContents;
    EXPECT_NE(strMetaContents.find("./usr/share/applications/orvalo.desktop"), std::string::npos);
    EXPECT_EQ(strMetaContents.find("./opt/"), std::string::npos) << strMetaContents;
    EXPECT_EQ((strContents + strMetaContents).find("include/"), std::string::npos)
        << "development files belong elsewhere";

    const std::string strDepends = RunProcess({"/usr/bin/dpkg-deb", "-f", pathVersioned.string(), "Depends"}).strStdout;
    for (const char* szPackage : {"libqt5widgets5", "libjsoncpp25", "libfmt9", "libqt5gui5"}) {
        EXPECT_NE(strDepends.find(szPackage), std::string::npos) << strDepends;
    }
    EXPECT_EQ(RunProcess({"/usr/bin/dpkg-deb", "-f", pathMeta.string(), "Depends"}).strStdout,
              strVersioned + " (= " + kszVersion + ")\n");
}

TEST_F(PackageTest, LintianFindsNoErrorsOrWarnings)
{
    if (!fs::exists("/usr/bin/lintian")) {
        GTEST_SKIP() << "lintian is not installed (scripts/install-deps.sh installs it)";
    }
    for (const auto& entry : fs::directory_iterator(*s_pDir / "out")) {
        if (entry.path().extension() != ".deb") {
            continue;
        }
        const ProcessResult result =
            RunProcess({"/usr/bin/lintian", "--fail-on", "error,warning", entry.path().string()}, {{}, {}, false, 300});
        EXPECT_EQ(result.nExitStatus, 0) << entry.path() << "\n" << result.strStdout << result.strStderr;
    }
}

TEST_F(PackageTest, UnpackedArchiveRunsWithOnlyItsOwnRunPaths)
{
    const fs::path pathArchive = FindOne(*s_pDir / "out", ".tar.gz");
    ASSERT_FALSE(pathArchive.empty());
    const fs::path pathRoot = *s_pDir / "root";
    fs::create_directories(pathRoot);
    ASSERT_EQ(RunProcess({"/bin/tar", "-xzf", pathArchive.string(), "-C", pathRoot.string()}).nExitStatus, 0);

    const fs::path pathVersion = pathRoot / "opt/orvalo" / kszVersionDir;
    const std::string strLauncher = DynamicSection(pathVersion / "launcher");
    EXPECT_NE(strLauncher.find("(RPATH)              Library rpath: [$ORIGIN]"), std::string::npos) << strLauncher;
    EXPECT_EQ(strLauncher.find("RUNPATH"), std::string::npos);
    for (const char* szLibrary : {"libLxAppStartProcess.so", "libSarnel.so"}) {
        const std::string strSection = DynamicSection(pathVersion / szLibrary);
        EXPECT_NE(strSection.find("Library runpath: [$ORIGIN]"), std::string::npos) << szLibrary << strSection;
        EXPECT_EQ(strSection.find(kszBuildDir), std::string::npos) << "no build paths in " << szLibrary;
    }
    EXPECT_EQ(fs::read_symlink(pathRoot / "usr/bin/orvalo"), fs::path("/opt/orvalo") / kszVersionDir / "launcher");

    ProcessOptions options;
    options.mapEnv = {{"HOME", (pathRoot / "home").string()},
                      {"LX_APP_RECORD_FILE", (pathRoot / "client.jsonl").string()},
                      {"LX_APP_RESULT", "6"},
                      {"LD_LIBRARY_PATH", std::nullopt}};
    const ProcessResult result = RunProcess({(pathVersion / "launcher").string(), "--check"}, options);
    EXPECT_EQ(result.nExitStatus, 6);
    const std::vector<Json::Value> vtCalls = ReadJsonLines(pathRoot / "client.jsonl");
    ASSERT_EQ(vtCalls.size(), 1u);
    EXPECT_EQ(vtCalls[0]["argv"][1].asString(), "--check");
    EXPECT_EQ(vtCalls[0]["qt_qpa_platform"].asString(), "xcb");
}

} // namespace
