#include "LXPerformanceReport.h"

#include <QApplication>
#include <QLabel>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget page;
    new QLabel(&page);
    sarnel::performence_report::CCreatePerformanceReportHelper helper;
    helper.StartCreatePerformanceReport(QStringLiteral("consumer"), page, 1);
    return helper.GetChildrenCount(page) == 2 ? 0 : 1;
}
