#pragma once

#include "SarnelExport.h"

#include <QElapsedTimer>
#include <QString>

class QWidget;

namespace sarnel::performence_report {

// Measures how long a page took to build and how many widgets it holds, and
// sends each measurement as one "ReportDesktopPageCreate" statistics event.
// Use it on the thread that owns the widgets.
class SARNEL_EXPORT CCreatePerformanceReportHelper {
public:
    CCreatePerformanceReportHelper();

    // Starts the page timer, or restarts it from zero.
    void StartPageReport();
    // Sends the time since the last StartPageReport() and the page's widget count.
    void EndPageReport(const QString& strWidgetName, const QWidget& widget);
    // Sends the time since the last StartPageReport(); the widget count is 0.
    void EndPageElapsedTimeReport(const QString& strWidgetName);
    // Sends the widget count; the time is 0. Leaves the page timer alone.
    void DoSubWidgetCountReport(const QString& strWidgetName, const QWidget& widget);
    // Sends the widget count with a time the caller measured; nothing is checked.
    void StartCreatePerformanceReport(QString strWidgetName, const QWidget& widget, long long elapsed);

    void DoReport(QString strWidgetName, long long totalWidgets, long long completeTime);
    // Widgets in the subtree of widget, widget itself included.
    int GetChildrenCount(const QWidget& widget) const;

private:
    QElapsedTimer m_timerPage;
};

} // namespace sarnel::performence_report
