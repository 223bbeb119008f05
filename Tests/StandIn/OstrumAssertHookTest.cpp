#include "Ostrum/AssertHook.h"
#include "Ostrum/AssertHookTesting.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

TEST(OstrumAssertHook, RecordsReportsAndToleratesNullTexts)
{
    QTemporaryDir dir;
    const std::string strSink = dir.filePath(QStringLiteral("asserts.jsonl")).toStdString();
    ::setenv("LX_ASSERT_SINK_FILE", strSink.c_str(), 1);
    FrameWork::SetAssertRecording(true);
    FrameWork::ClearRecordedAsserts();

    FrameWork::_FW_OnAssertFailed(FrameWork::ASSET_TYPE_REPORT, "message", "Module", "file.cpp", 12, "cond");
    FrameWork::_FW_OnAssertFailed(FrameWork::ASSET_TYPE_ERROR, nullptr, nullptr, nullptr, -1, nullptr);
    ::unsetenv("LX_ASSERT_SINK_FILE");

    const auto vtAsserts = FrameWork::TakeRecordedAsserts();
    FrameWork::SetAssertRecording(false);
    ASSERT_EQ(vtAsserts.size(), 2U);
    EXPECT_EQ(vtAsserts[0].strMessage, "message");
    EXPECT_EQ(vtAsserts[0].strFile, "file.cpp");
    EXPECT_EQ(vtAsserts[0].nLine, 12);
    EXPECT_EQ(vtAsserts[1].strMessage, "");
    EXPECT_EQ(vtAsserts[1].strCondition, "");

    std::ifstream sink(strSink);
    std::string strFirst;
    std::string strSecond;
    ASSERT_TRUE(std::getline(sink, strFirst) && std::getline(sink, strSecond));
    Json::Value first;
    Json::Value second;
    std::istringstream(strFirst) >> first;
    std::istringstream(strSecond) >> second;
    EXPECT_EQ(first["type"].asInt(), 3);
    EXPECT_EQ(first["condition"].asString(), "cond");
    EXPECT_EQ(second["module"].asString(), "");
}

TEST(OstrumAssertHook, KeepsNoCopyUnlessRecording)
{
    QTemporaryDir dir;
    const std::string strSink = dir.filePath(QStringLiteral("asserts.jsonl")).toStdString();
    ::setenv("LX_ASSERT_SINK_FILE", strSink.c_str(), 1);

    FrameWork::_FW_OnAssertFailed(FrameWork::ASSET_TYPE_REPORT, "message", "Module", "file.cpp", 12, "cond");
    ::unsetenv("LX_ASSERT_SINK_FILE");

    std::ifstream sink(strSink);
    std::string strLine;
    EXPECT_TRUE(std::getline(sink, strLine));
    EXPECT_TRUE(FrameWork::TakeRecordedAsserts().empty());
}

} // namespace
