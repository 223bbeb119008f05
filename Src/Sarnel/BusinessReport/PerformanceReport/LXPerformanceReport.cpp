#include "LXPerformanceReport.h"

#include "Ostrum/AssertHook.h"
#include "Vantrel/Report.h"

#include <QObject>
#include <QWidget>
#include <json/value.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sarnel::performence_report {

const std::string kstrReportDesktopPageCreateEventName = "ReportDesktopPageCreate";
const std::string kstrCompleteTime = "complete_time";
const std::string kstrWidgetName = "widget_name";
const std::string kstrTotalWidgets = "total_widgets";

// The hook returns, so every check reports and lets the caller decide how to go on.
#define SARNEL_CHECK(condition, message)                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            FrameWork::_FW_OnAssertFailed(FrameWork::ASSET_TYPE_REPORT, message, kszModuleName, __FILE__, __LINE__,    \
                                          #condition);                                                                 \
        }                                                                                                              \
    } while (false)

namespace {

constexpr int kNReportArg = 1;
constexpr core::report::CSBrokerId kNBrokerId = 0;
constexpr const char* kszModuleName = "Sarnel";

// The checks both end-of-page reports make: an empty name is only reported,
// but nothing is sent unless the timer has run for a millisecond or more.
std::optional<qint64> ElapsedToSend(const QString& strWidgetName, const QElapsedTimer& timerPage)
{
    SARNEL_CHECK(!strWidgetName.isEmpty(), "Widget name is empty in performance report.");
    // Reading an invalid QElapsedTimer is undefined, so validity is checked first.
    const qint64 nElapsed = timerPage.isValid() ? timerPage.elapsed() : 0;
    if (nElapsed <= 0) {
        SARNEL_CHECK(false, "Timer is invalid or elapsed time is zero in performance report.");
        return std::nullopt;
    }
    return nElapsed;
}

} // namespace

CCreatePerformanceReportHelper::CCreatePerformanceReportHelper() = default;

void CCreatePerformanceReportHelper::StartPageReport()
{
    m_timerPage.start();
}

void CCreatePerformanceReportHelper::EndPageReport(const QString& strWidgetName, const QWidget& widget)
{
    if (const auto nElapsed = ElapsedToSend(strWidgetName, m_timerPage)) {
        DoReport(strWidgetName, GetChildrenCount(widget), *nElapsed);
    }
}

void CCreatePerformanceReportHelper::EndPageElapsedTimeReport(const QString& strWidgetName)
{
    if (const auto nElapsed = ElapsedToSend(strWidgetName, m_timerPage)) {
        DoReport(strWidgetName, 0, *nElapsed);
    }
}

void CCreatePerformanceReportHelper::DoSubWidgetCountReport(const QString& strWidgetName, const QWidget& widget)
{
    SARNEL_CHECK(!strWidgetName.isEmpty(), "Widget name is empty in performance report.");
    DoReport(strWidgetName, GetChildrenCount(widget), 0);
}

void CCreatePerformanceReportHelper::StartCreatePerformanceReport(QString strWidgetName, const QWidget& widget,
                                                                  long long elapsed)
{
    DoReport(std::move(strWidgetName), GetChildrenCount(widget), elapsed);
}

void CCreatePerformanceReportHelper::DoReport(QString strWidgetName, long long totalWidgets, long long completeTime)
{
    Json::Value payload;
    payload[kstrCompleteTime] = Json::Int64{completeTime};
    payload[kstrWidgetName] = strWidgetName.toStdString();
    payload[kstrTotalWidgets] = Json::Int64{totalWidgets};
    core::report::Report(kstrReportDesktopPageCreateEventName, kNReportArg, payload, kNBrokerId);
}

int CCreatePerformanceReportHelper::GetChildrenCount(const QWidget& widget) const
{
    // A work list instead of recursion: page trees can be deep enough to
    // matter for the stack, and this is far cheaper than findChildren().
    std::vector<const QWidget*> vtPending;
    vtPending.reserve(64);
    vtPending.push_back(&widget);

    int nCount = 0;
    while (!vtPending.empty()) {
        const QWidget* pWidget = vtPending.back();
        vtPending.pop_back();
        ++nCount;
        for (const QObject* pChild : pWidget->children()) {
            if (!pChild->isWidgetType()) {
                continue;
            }
            // Most widgets are leaves: counted while their data is still in
            // cache, rather than queued for a second visit (SarnelBench
            // measures the difference).
            if (pChild->children().isEmpty()) {
                ++nCount;
            } else {
                vtPending.push_back(static_cast<const QWidget*>(pChild));
            }
        }
    }
    return nCount;
}

} // namespace sarnel::performence_report
