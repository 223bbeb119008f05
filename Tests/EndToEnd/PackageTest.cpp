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

// Why a check cannot run: a Debian tool it needs is missing.
std::string MissingTool(const fs::path& pathTool)
{
    return fs::exists(pathTool) ? "" : pathTool.string() + " is not installed (scripts/install-deps.sh installs it)";
}

const std::string kStrVersionedPackage = std::string("orvalo-client-") + kszVersionDir;

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

    static fs::path VersionedDeb()
    {
        return FindOne(*s_pDir / "out", "_amd64.deb", kStrVersionedPackage + "_" + kszVersion);
    }
    static fs::path MetaDeb()
    {
        return FindOne(*s_pDir / "out", "_all.deb", std::string("orvalo-client_") + kszVersion);
    }

    // Both packages' files in one tree, as dpkg would install them.
    static fs::path Unpacked()
    {
        const fs::path pathRoot = *s_pDir / "unpacked";
        if (!fs::exists(pathRoot)) {
            for (const fs::path& pathDeb : {VersionedDeb(), MetaDeb()}) {
                EXPECT_EQ(RunProcess({"/usr/bin/dpkg-deb", "-x", pathDeb.string(), pathRoot.string()}).nExitStatus, 0);
            }
        }
        return pathRoot;
    }

    static inline TempDir* s_pDir = nullptr;
    static inline ProcessResult s_result;
};

// The versioned package holds the version directory, the metapackage the
// desktop entry; the command is the alternatives link, in neither.
TEST_F(PackageTest, DebsHoldTheVersionDirectoryAndTheDesktopEntry)
{
    const std::string& strVersioned = kStrVersionedPackage;
    const fs::path pathVersioned = VersionedDeb();
    const fs::path pathMeta = MetaDeb();
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
    EXPECT_NE(strContents.find(std::string("./usr/share/man/man1/orvalo-doctor-") + kszVersionDir + ".1.gz\n"),
              std::string::npos);
    for (const std::string& strFile :
         {std::string("applications/orvalo.desktop"), std::string("icons/hicolor/scalable/apps/orvalo.svg"),
          std::string("icons/hicolor/48x48/apps/orvalo.png"),
          std::string("metainfo/") + LX_TEST_APPSTREAM_ID + ".metainfo.xml"}) {
        EXPECT_NE(strMetaContents.find("./usr/share/" + strFile + "\n"), std::string::npos) << strFile;
    }
    EXPECT_EQ(strMetaContents.find("./opt/"), std::string::npos) << strMetaContents;
    // dpkg would remove what the system made, with the last package owning it.
    for (const char* szSystemDir : {" ./opt/\n", " ./srv/\n", " ./usr/local/\n"}) {
        EXPECT_EQ((strContents + strMetaContents).find(szSystemDir), std::string::npos) << szSystemDir;
    }
    EXPECT_NE(strContents.find(" ./opt/orvalo/\n"), std::string::npos) << "the client folder is the packages' own";
    EXPECT_EQ((strContents + strMetaContents).find("include/"), std::string::npos)
        << "development files belong elsewhere";

    const std::string strDepends = RunProcess({"/usr/bin/dpkg-deb", "-f", pathVersioned.string(), "Depends"}).strStdout;
    for (const char* szPackage : {"libqt5widgets5", "libjsoncpp25", "libfmt9", "libqt5gui5 (", "libqt5gui5-gles ("}) {
        EXPECT_NE(strDepends.find(szPackage), std::string::npos) << strDepends;
    }
    EXPECT_EQ((", " + strDepends).find(", libqt5gui5,"), std::string::npos) << "a bare duplicate: " << strDepends;
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

TEST_F(PackageTest, ShippedElfFilesAreHardened)
{
    if (const std::string strMissing = MissingTool("/usr/bin/hardening-check"); !strMissing.empty()) {
        GTEST_SKIP() << strMissing;
    }
    if (!LX_TEST_FORTIFIED) {
        GTEST_SKIP() << "this build does not fortify (sanitizers, fuzzing or no optimisation)";
    }
    // The stand-ins bind lazily, as the launcher's dlopen asks. The libraries'
    // only fortifiable calls take sizes known at run time alone, which leaves
    // hardening-check nothing to find either way.
    const struct {
        const char* szFile;
        bool bBindNow;
        bool bFortifiedCalls;
    } vtCases[] = {{"launcher", true, true},        {"launcher-doctor", true, true},
                   {"libSarnel.so", true, false},   {"libLxAppStartProcess.so", false, false},
                   {"libVantrel.so", false, false}, {"libOstrum.so", false, false}};
    const fs::path pathVersion = Unpacked() / "opt/orvalo" / kszVersionDir;
    for (const auto& testCase : vtCases) {
        // Debian 12's C start files carry no CET note, so no binary built
        // there has control-flow protection.
        std::vector<std::string> vtArgs{"/usr/bin/hardening-check", "--nocfprotection"};
        if (!testCase.bBindNow) {
            vtArgs.push_back("--nobindnow");
        }
        if (!testCase.bFortifiedCalls) {
            vtArgs.push_back("--nofortify");
        }
        vtArgs.push_back((pathVersion / testCase.szFile).string());
        const ProcessResult result = RunProcess(vtArgs);
        EXPECT_EQ(result.nExitStatus, 0) << result.strStdout << result.strStderr;
        for (const char* szLine : {"Stack protected: yes", "Read-only relocations: yes"}) {
            EXPECT_NE(result.strStdout.find(szLine), std::string::npos) << szLine << "\n" << result.strStdout;
        }
        EXPECT_EQ(result.strStdout.find("Fortify Source functions: yes") != std::string::npos, testCase.bFortifiedCalls)
            << result.strStdout;
        EXPECT_EQ(result.strStdout.find("Immediate binding: yes") != std::string::npos, testCase.bBindNow)
            << result.strStdout;
    }
}

TEST_F(PackageTest, DesktopEntryAndMetainfoPassTheirValidators)
{
    for (const char* szTool : {"/usr/bin/desktop-file-validate", "/usr/bin/appstreamcli"}) {
        if (const std::string strMissing = MissingTool(szTool); !strMissing.empty()) {
            GTEST_SKIP() << strMissing;
        }
    }
    const fs::path pathShare = Unpacked() / "usr/share";
    const ProcessResult desktop =
        RunProcess({"/usr/bin/desktop-file-validate", (pathShare / "applications/orvalo.desktop").string()});
    EXPECT_EQ(desktop.nExitStatus, 0) << desktop.strStdout << desktop.strStderr;
    EXPECT_EQ(desktop.strStdout + desktop.strStderr, "");
    const fs::path pathMetainfo = pathShare / "metainfo" / (std::string(LX_TEST_APPSTREAM_ID) + ".metainfo.xml");
    const ProcessResult metainfo = RunProcess({"/usr/bin/appstreamcli", "validate", "--no-net", pathMetainfo.string()});
    EXPECT_EQ(metainfo.nExitStatus, 0) << metainfo.strStdout << metainfo.strStderr;
    EXPECT_NE(ReadFile(pathMetainfo).find(std::string("<release version=\"") + kszVersion + "\""), std::string::npos)
        << "no release entry for this version";
}

TEST_F(PackageTest, SoftwareCentreCatalogueHoldsTheClientWithItsIcon)
{
    if (const std::string strMissing = MissingTool("/usr/libexec/appstreamcli-compose"); !strMissing.empty()) {
        GTEST_SKIP() << strMissing << " (package appstream-compose)";
    }
    const fs::path pathOut = *s_pDir / "catalogue";
    const ProcessResult result = RunProcess({"/usr/bin/appstreamcli", "compose", "--no-net", "--origin=orvalo",
                                             "--result-root=" + pathOut.string(), Unpacked().string()},
                                            {{}, {}, false, 300});
    ASSERT_EQ(result.nExitStatus, 0) << result.strStdout << result.strStderr;
    const fs::path pathCatalogue = FindOne(pathOut / "usr/share/swcatalog/xml", ".xml.gz", "orvalo");
    ASSERT_FALSE(pathCatalogue.empty()) << result.strStdout;
    const std::string strCatalogue = RunProcess({"/bin/gzip", "-dc", pathCatalogue.string()}).strStdout;
    for (const std::string& strPart : {std::string("<id>") + LX_TEST_APPSTREAM_ID + "</id>",
                                       std::string("<launchable type=\"desktop-id\">orvalo.desktop"),
                                       std::string("<icon type=\"cached\""), std::string("<release ")}) {
        EXPECT_NE(strCatalogue.find(strPart), std::string::npos) << strPart << "\n" << strCatalogue;
    }
}

TEST_F(PackageTest, ManualPagesFormatWithoutWarnings)
{
    if (const std::string strMissing = MissingTool("/usr/bin/man"); !strMissing.empty()) {
        GTEST_SKIP() << strMissing;
    }
    for (const char* szPage : {"orvalo-", "orvalo-doctor-"}) {
        const fs::path pathPage = Unpacked() / "usr/share/man/man1" / (std::string(szPage) + kszVersionDir + ".1.gz");
        ASSERT_TRUE(fs::exists(pathPage)) << pathPage;
        ProcessOptions options;
        options.mapEnv = {{"MANWIDTH", "80"}, {"LC_ALL", "C.UTF-8"}};
        const ProcessResult result = RunProcess({"/usr/bin/man", "--warnings", "-l", pathPage.string()}, options);
        EXPECT_EQ(result.nExitStatus, 0) << pathPage;
        EXPECT_EQ(result.strStderr, "") << pathPage;
        EXPECT_NE(result.strStdout.find("SEE ALSO"), std::string::npos) << result.strStdout;
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
