#include "LxAppDemo.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <json/value.h>

#include "JsonLineFile.h"
#include "LXPerformanceReport.h"

namespace lxstandin {

namespace {

constexpr std::string_view kszDemoFlag = "--demo";
constexpr std::string_view kszSecondsFlag = "--demo-seconds=";

int DemoSeconds(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view strArg = argv[i] != nullptr ? argv[i] : "";
        if (strArg.substr(0, kszSecondsFlag.size()) == kszSecondsFlag) {
            const int nSeconds = std::atoi(std::string(strArg.substr(kszSecondsFlag.size())).c_str());
            return nSeconds > 0 ? nSeconds : 1;
        }
    }
    return 5;
}

// An order ticket and a blotter: the kind of page the client builds.
std::unique_ptr<QWidget> BuildOrderPage()
{
    auto pPage = std::make_unique<QWidget>();
    pPage->setWindowTitle("Order entry");
    pPage->resize(640, 420);
    auto* pLayout = new QVBoxLayout(pPage.get());

    auto* pTicket = new QGroupBox("New order", pPage.get());
    auto* pForm = new QFormLayout(pTicket);
    auto* pSymbol = new QComboBox(pTicket);
    pSymbol->addItems({"ACME", "GLOBX", "INITech"});
    pForm->addRow("Symbol", pSymbol);
    auto* pQuantity = new QDoubleSpinBox(pTicket);
    pQuantity->setRange(0, 1e6);
    pQuantity->setValue(100);
    pForm->addRow("Quantity", pQuantity);
    pForm->addRow("Limit", new QLineEdit("101.25", pTicket));
    pForm->addRow("", new QCheckBox("Good till cancelled", pTicket));
    pLayout->addWidget(pTicket);

    auto* pButtons = new QHBoxLayout;
    pButtons->addWidget(new QPushButton("Buy", pPage.get()));
    pButtons->addWidget(new QPushButton("Sell", pPage.get()));
    pButtons->addStretch();
    pLayout->addLayout(pButtons);

    auto* pBlotter = new QTableWidget(4, 3, pPage.get());
    pBlotter->setHorizontalHeaderLabels({"Symbol", "Side", "Quantity"});
    pBlotter->horizontalHeader()->setStretchLastSection(true);
    const char* arrRows[][3] = {
        {"ACME", "Buy", "100"}, {"GLOBX", "Sell", "250"}, {"ACME", "Sell", "40"}, {"INITech", "Buy", "5"}};
    for (int nRow = 0; nRow < 4; ++nRow) {
        for (int nCol = 0; nCol < 3; ++nCol) {
            pBlotter->setItem(nRow, nCol, new QTableWidgetItem(arrRows[nRow][nCol]));
        }
    }
    pLayout->addWidget(pBlotter);
    pLayout->addWidget(new QLabel("Connected", pPage.get()));
    return pPage;
}

} // namespace

bool IsDemoRequested(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && kszDemoFlag == argv[i]) {
            return true;
        }
    }
    return false;
}

int RunDemoClient(int argc, char** argv)
{
    QApplication app(argc, argv);

    sarnel::performence_report::CCreatePerformanceReportHelper reportHelper;
    reportHelper.StartPageReport();
    const std::unique_ptr<QWidget> pPage = BuildOrderPage();
    pPage->show();
    // The page is done once it is on screen: the first layout and paint
    // belong to what the user waits for.
    QCoreApplication::processEvents();
    reportHelper.EndPageReport("OrderEntryPage", *pPage);

    // Once the window is up and painted, say what is on screen.
    QTimer::singleShot(500, [&] {
        Json::Value record(Json::objectValue);
        record["demo"] = "shown";
        record["platform"] = QGuiApplication::platformName().toStdString();
        record["window_title"] = pPage->windowTitle().toStdString();
        record["widget_count"] = static_cast<int>(pPage->findChildren<QWidget*>().size()) + 1;
        record["visible"] = pPage->isVisible();
        AppendToFileNamedBy(kszRecordFileEnv, FormatJsonLine(record));
    });
    QTimer::singleShot(DemoSeconds(argc, argv) * 1000, &app, &QApplication::quit);

    return app.exec();
}

} // namespace lxstandin
