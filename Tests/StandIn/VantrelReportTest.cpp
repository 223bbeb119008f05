#include "Vantrel/Report.h"
#include "Vantrel/ReportTesting.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class VantrelReportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ::setenv("LX_REPORT_SINK_FILE", m_strSink.c_str(), 1);
        core::report::SetEventRecording(true);
        core::report::ClearRecordedEvents();
    }

    void TearDown() override
    {
        ::unsetenv("LX_REPORT_SINK_FILE");
        core::report::SetEventRecording(false);
    }

    std::vector<Json::Value> ReadSinkLines() const
    {
        std::vector<Json::Value> vtLines;
        std::ifstream sink(m_strSink);
        for (std::string strLine; std::getline(sink, strLine);) {
            std::istringstream(strLine) >> vtLines.emplace_back(); // throws on a torn line
        }
        return vtLines;
    }

    QTemporaryDir m_dir;
    std::string m_strSink = m_dir.filePath(QStringLiteral("events.jsonl")).toStdString();
};

TEST_F(VantrelReportTest, AppendsOneJsonLinePerEventAndKeepsACopy)
{
    {
        Json::Value payload;
        payload["text"] = "two\nlines \xC3\xA4";
        core::report::Report("First", 1, payload, 0);
    }
    core::report::Report("Second", 7, Json::Value(42), 3);

    const auto vtLines = ReadSinkLines();
    ASSERT_EQ(vtLines.size(), 2U);
    EXPECT_EQ(vtLines[0]["event"].asString(), "First");
    EXPECT_EQ(vtLines[0]["payload"]["text"].asString(), "two\nlines \xC3\xA4");
    EXPECT_EQ(vtLines[1]["event"].asString(), "Second");
    EXPECT_EQ(vtLines[1]["arg"].asInt(), 7);
    EXPECT_EQ(vtLines[1]["broker"].asInt(), 3);
    EXPECT_EQ(vtLines[1]["payload"].asInt(), 42);

    const auto vtEvents = core::report::TakeRecordedEvents();
    ASSERT_EQ(vtEvents.size(), 2U);
    EXPECT_EQ(vtEvents[0].payload["text"].asString(), "two\nlines \xC3\xA4");
    EXPECT_TRUE(core::report::TakeRecordedEvents().empty());
}

TEST_F(VantrelReportTest, KeepsEveryLineWholeUnderConcurrentReports)
{
    constexpr int kNThreads = 4;
    constexpr int kNEventsPerThread = 200;
    std::vector<std::jthread> vtThreads;
    for (int nThread = 0; nThread < kNThreads; ++nThread) {
        vtThreads.emplace_back([nThread] {
            for (int i = 0; i < kNEventsPerThread; ++i) {
                core::report::Report("Concurrent", nThread, Json::Value(std::string(512, 'x')), 0);
            }
        });
    }
    vtThreads.clear();

    EXPECT_EQ(ReadSinkLines().size(), static_cast<std::size_t>(kNThreads * kNEventsPerThread));
    EXPECT_EQ(core::report::TakeRecordedEvents().size(), static_cast<std::size_t>(kNThreads * kNEventsPerThread));
}

TEST_F(VantrelReportTest, KeepsNoCopyUnlessRecording)
{
    core::report::SetEventRecording(false);
    core::report::Report("Unwatched", 1, Json::Value(), 0);
    core::report::SetEventRecording(true);

    EXPECT_EQ(ReadSinkLines().size(), 1U);
    EXPECT_TRUE(core::report::TakeRecordedEvents().empty());
}

TEST_F(VantrelReportTest, RecordsWithoutASinkFile)
{
    ::unsetenv("LX_REPORT_SINK_FILE");
    core::report::Report("Recorded", 2, Json::Value(), 0);

    EXPECT_FALSE(std::filesystem::exists(m_strSink));
    const auto vtEvents = core::report::TakeRecordedEvents();
    ASSERT_EQ(vtEvents.size(), 1U);
    EXPECT_EQ(vtEvents[0].strEventName, "Recorded");
}

} // namespace
