// The installed client as a user meets it: installed into a scratch prefix,
// started through a link from another directory, on a real X server.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "InstallSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

TEST(InstalledClientTest, RunsTheDemoClientOnARealXServerAndReportsItsPage)
{
    XvfbServer xserver;
    if (xserver.Display().empty()) {
        GTEST_SKIP() << "no X server can be started here: " << xserver.Error();
    }

    TempDir dir;
    const fs::path pathPrefix = dir / "opt/orvalo";
    ASSERT_TRUE(InstallRuntime(pathPrefix));
    const fs::path pathLauncher = pathPrefix / kszVersionDir / "launcher";
    ASSERT_TRUE(fs::exists(pathLauncher));
    fs::create_directories(dir / "desktop");
    fs::create_symlink(pathLauncher, dir / "desktop/orvalo");

    ProcessOptions options;
    options.pathWorkingDirectory = dir / "desktop";
    options.mapEnv = {{"DISPLAY", xserver.Display()},
                      {"HOME", (dir / "home").string()},
                      {"LX_APP_RECORD_FILE", (dir / "client.jsonl").string()},
                      {"LX_REPORT_SINK_FILE", (dir / "events.jsonl").string()},
                      {"LX_APP_RESULT", "4"},
                      {"QT_QPA_PLATFORM", "offscreen"}, // the launcher must select xcb
                      {"LD_LIBRARY_PATH", std::nullopt}};
    auto futureRun = std::async(std::launch::async, [&] {
        return RunProcess({(dir / "desktop/orvalo").string(), "--demo", "--demo-seconds=4"}, options);
    });

    // Once the client says its page is on screen, photograph the screen.
    std::vector<Json::Value> vtClient;
    PollUntil(
        [&] {
            vtClient = ReadJsonLines(dir / "client.jsonl");
            return vtClient.size() >= 2;
        },
        std::chrono::seconds(15));
    const ProcessResult shot =
        RunProcess({kszScreenshotTool, kszScreenshotFile}, {{}, {{"DISPLAY", xserver.Display()}}});
    const ProcessResult result = futureRun.get();

    ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
    EXPECT_EQ(result.nExitStatus, 4) << result.strStderr;
    ASSERT_EQ(vtClient.size(), 2u) << ReadFile(dir / "client.jsonl");
    EXPECT_EQ(vtClient[0]["qt_qpa_platform"].asString(), "xcb");
    EXPECT_EQ(vtClient[0]["argv"][0].asString(), (dir / "desktop/orvalo").string());
    EXPECT_EQ(vtClient[1]["demo"].asString(), "shown");
    EXPECT_EQ(vtClient[1]["platform"].asString(), "xcb");
    EXPECT_TRUE(vtClient[1]["visible"].asBool());

    const std::vector<Json::Value> vtEvents = ReadJsonLines(dir / "events.jsonl");
    ASSERT_EQ(vtEvents.size(), 1u) << ReadFile(dir / "events.jsonl");
    EXPECT_EQ(vtEvents[0]["event"].asString(), "ReportDesktopPageCreate");
    const Json::Value& payload = vtEvents[0]["payload"];
    EXPECT_EQ(payload["widget_name"].asString(), "OrderEntryPage");
    EXPECT_EQ(payload["total_widgets"].asInt(), vtClient[1]["widget_count"].asInt());
    EXPECT_GT(payload["total_widgets"].asInt(), 10);
    EXPECT_GT(payload["complete_time"].asInt64(), 0);

    EXPECT_EQ(shot.nExitStatus, 0) << "blank or failed screenshot: " << shot.strStdout << shot.strStderr;
    EXPECT_TRUE(fs::exists(kszScreenshotFile));

    const std::string strLog = ReadFile(dir / "home/.config/orvalo/2.0/Logs/Launcher.log");
    EXPECT_NE(strLog.find("StartMainApp, ClientType: 120"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("EndMainApp, result: 4"), std::string::npos) << strLog;
}

} // namespace
