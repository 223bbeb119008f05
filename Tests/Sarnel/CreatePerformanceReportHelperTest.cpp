#include "LXPerformanceReport.h"

#include "Ostrum/AssertHookTesting.h"
#include "Vantrel/ReportTesting.h"

#include <QAction>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using sarnel::performence_report::CCreatePerformanceReportHelper;
using namespace std::chrono_literals;

namespace {

constexpr const char* kszNameMessage = "Widget name is empty in performance report.";
constexpr const char* kszNameCondition = "!strWidgetName.isEmpty()";
constexpr const char* kszTimerMessage = "Timer is invalid or elapsed time is zero in performance report.";

class CCreatePerformanceReportHelperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        core::report::SetEventRecording(true);
        FrameWork::SetAssertRecording(true);
        core::report::ClearRecordedEvents();
        FrameWork::ClearRecordedAsserts();
    }

    void TearDown() override
    {
        core::report::SetEventRecording(false);
        FrameWork::SetAssertRecording(false);
    }

    static std::vector<Json::Value> TakePayloads()
    {
        std::vector<Json::Value> vtPayloads;
        for (const auto& stEvent : core::report::TakeRecordedEvents()) {
            EXPECT_EQ(stEvent.strEventName, "ReportDesktopPageCreate");
            EXPECT_EQ(stEvent.nArg, 1);
            EXPECT_EQ(stEvent.brokerId, 0);
            vtPayloads.push_back(stEvent.payload);
        }
        return vtPayloads;
    }

    // The assertion reports taken so far, as (message, condition) pairs; the
    // fixed parts of each report are checked on the way.
    static std::vector<std::pair<std::string, std::string>> TakeAsserts()
    {
        std::vector<std::pair<std::string, std::string>> vtAsserts;
        for (const auto& stAssert : FrameWork::TakeRecordedAsserts()) {
            EXPECT_EQ(stAssert.enType, 3);
            EXPECT_EQ(stAssert.strModule, "Sarnel");
            EXPECT_TRUE(stAssert.strFile.ends_with("LXPerformanceReport.cpp")) << stAssert.strFile;
            EXPECT_GT(stAssert.nLine, 0);
            vtAsserts.emplace_back(stAssert.strMessage, stAssert.strCondition);
        }
        return vtAsserts;
    }

    CCreatePerformanceReportHelper m_helper;
    QWidget m_page;
};

using AssertList = std::vector<std::pair<std::string, std::string>>;

TEST_F(CCreatePerformanceReportHelperTest, CountsEveryWidgetButNoOtherObject)
{
    EXPECT_EQ(m_helper.GetChildrenCount(m_page), 1);

    auto* pLayout = new QHBoxLayout(&m_page);
    for (int i = 0; i < 3; ++i) {
        pLayout->addWidget(new QPushButton(&m_page));
    }
    EXPECT_EQ(m_helper.GetChildrenCount(m_page), 4);

    new QTimer(&m_page);
    new QAction(&m_page);
    new QTimer(new QObject(&m_page));
    EXPECT_EQ(m_helper.GetChildrenCount(m_page), 4);

    (new QLabel(&m_page))->hide();
    new QWidget(&m_page, Qt::Window);
    EXPECT_EQ(m_helper.GetChildrenCount(m_page), 6);
}

TEST_F(CCreatePerformanceReportHelperTest, CountsNestedSubtreesOfAnyDepth)
{
    auto* pGroup = new QGroupBox(&m_page);
    auto* pNested = new QGroupBox(pGroup);
    new QPushButton(pNested);
    new QLabel(pGroup);
    QWidget* pLink = new QWidget(&m_page);
    for (int i = 0; i < 5000; ++i) {
        pLink = new QWidget(pLink);
    }

    EXPECT_EQ(m_helper.GetChildrenCount(*pNested), 2);
    EXPECT_EQ(m_helper.GetChildrenCount(*pGroup), 4);
    EXPECT_EQ(m_helper.GetChildrenCount(m_page), 1 + 4 + 5001);
    EXPECT_EQ(m_helper.GetChildrenCount(m_page), m_page.findChildren<QWidget*>().size() + 1);
}

TEST_F(CCreatePerformanceReportHelperTest, SendsThreeTypedMembersWithUtf8Name)
{
    m_helper.DoReport(QString::fromUtf16(u"\u00DCbersicht \u4EF7 \U0001F4C8"), 5'000'000'000LL, -3'000'000'000LL);

    const auto vtPayloads = TakePayloads();
    ASSERT_EQ(vtPayloads.size(), 1U);
    const Json::Value& payload = vtPayloads[0];
    EXPECT_EQ(payload.getMemberNames(), (std::vector<std::string>{"complete_time", "total_widgets", "widget_name"}));
    EXPECT_EQ(payload["complete_time"].type(), Json::intValue);
    EXPECT_EQ(payload["complete_time"].asInt64(), -3'000'000'000LL);
    EXPECT_EQ(payload["total_widgets"].type(), Json::intValue);
    EXPECT_EQ(payload["total_widgets"].asInt64(), 5'000'000'000LL);
    EXPECT_EQ(payload["widget_name"].type(), Json::stringValue);
    EXPECT_EQ(payload["widget_name"].asString(), "\xC3\x9C"
                                                 "bersicht \xE4\xBB\xB7 \xF0\x9F\x93\x88");
}

TEST_F(CCreatePerformanceReportHelperTest, EndReportsWithoutStartOnlyReportTheTimer)
{
    m_helper.EndPageReport(QStringLiteral("page"), m_page);
    m_helper.EndPageElapsedTimeReport(QString());

    EXPECT_TRUE(TakePayloads().empty());
    EXPECT_EQ(TakeAsserts(),
              (AssertList{{kszTimerMessage, "false"}, {kszNameMessage, kszNameCondition}, {kszTimerMessage, "false"}}));
}

TEST_F(CCreatePerformanceReportHelperTest, EndReportInStartingMillisecondSendsNothing)
{
    // A millisecond boundary may fall between start and end; retry until a
    // run stays within one millisecond, which happens almost at once.
    bool bSawZeroElapsed = false;
    for (int nTry = 0; nTry < 1000 && !bSawZeroElapsed; ++nTry) {
        m_helper.StartPageReport();
        m_helper.EndPageReport(QStringLiteral("page"), m_page);
        const auto vtPayloads = TakePayloads();
        const auto vtAsserts = TakeAsserts();
        bSawZeroElapsed = vtPayloads.empty();
        if (bSawZeroElapsed) {
            EXPECT_EQ(vtAsserts, (AssertList{{kszTimerMessage, "false"}}));
        } else {
            EXPECT_TRUE(vtAsserts.empty());
            EXPECT_GE(vtPayloads[0]["complete_time"].asInt64(), 1);
        }
    }
    EXPECT_TRUE(bSawZeroElapsed);
}

TEST_F(CCreatePerformanceReportHelperTest, TimerRunsOnAfterEndReportsUntilRestarted)
{
    new QLabel(&m_page);
    m_helper.StartPageReport();
    std::this_thread::sleep_for(30ms);
    m_helper.EndPageReport(QStringLiteral("page"), m_page);
    m_helper.DoSubWidgetCountReport(QStringLiteral("part"), m_page);
    std::this_thread::sleep_for(3ms);
    m_helper.EndPageElapsedTimeReport(QStringLiteral("page"));
    m_helper.EndPageReport(QStringLiteral("page"), m_page);

    QElapsedTimer sinceRestart;
    sinceRestart.start();
    m_helper.StartPageReport();
    std::this_thread::sleep_for(2ms);
    m_helper.EndPageElapsedTimeReport(QStringLiteral("page"));
    const qint64 nSinceRestart = sinceRestart.elapsed();

    const auto vtPayloads = TakePayloads();
    ASSERT_EQ(vtPayloads.size(), 5U);
    EXPECT_GE(vtPayloads[0]["complete_time"].asInt64(), 30);
    EXPECT_EQ(vtPayloads[0]["total_widgets"].asInt64(), 2);
    EXPECT_EQ(vtPayloads[1]["complete_time"].asInt64(), 0);
    EXPECT_EQ(vtPayloads[1]["total_widgets"].asInt64(), 2);
    EXPECT_GE(vtPayloads[2]["complete_time"].asInt64(), vtPayloads[0]["complete_time"].asInt64() + 3);
    EXPECT_EQ(vtPayloads[2]["total_widgets"].asInt64(), 0);
    EXPECT_GE(vtPayloads[3]["complete_time"].asInt64(), vtPayloads[2]["complete_time"].asInt64());
    EXPECT_GE(vtPayloads[4]["complete_time"].asInt64(), 2);
    EXPECT_LE(vtPayloads[4]["complete_time"].asInt64(), nSinceRestart);
    EXPECT_TRUE(TakeAsserts().empty());
}

TEST_F(CCreatePerformanceReportHelperTest, EmptyNameIsReportedAndStillSent)
{
    m_helper.StartPageReport();
    std::this_thread::sleep_for(2ms);
    m_helper.EndPageReport(QString(), m_page);
    m_helper.DoSubWidgetCountReport(QString(), m_page);

    const auto vtPayloads = TakePayloads();
    ASSERT_EQ(vtPayloads.size(), 2U);
    EXPECT_EQ(vtPayloads[0]["widget_name"].asString(), "");
    EXPECT_EQ(vtPayloads[1]["widget_name"].asString(), "");
    EXPECT_EQ(TakeAsserts(), (AssertList{{kszNameMessage, kszNameCondition}, {kszNameMessage, kszNameCondition}}));
}

TEST_F(CCreatePerformanceReportHelperTest, CallerTimedReportSendsValuesUnchecked)
{
    new QPushButton(&m_page);
    m_helper.StartCreatePerformanceReport(QString(), m_page, -5);

    const auto vtPayloads = TakePayloads();
    ASSERT_EQ(vtPayloads.size(), 1U);
    EXPECT_EQ(vtPayloads[0]["widget_name"].asString(), "");
    EXPECT_EQ(vtPayloads[0]["complete_time"].asInt64(), -5);
    EXPECT_EQ(vtPayloads[0]["total_widgets"].asInt64(), 2);
    EXPECT_TRUE(TakeAsserts().empty());
}

} // namespace
