// Run with QT_QPA_PLATFORM=offscreen.

#include "LXPerformanceReport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWidget>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

using sarnel::performence_report::CCreatePerformanceReportHelper;

namespace {

std::unique_ptr<QWidget> MakeWidePage()
{
    auto page = std::make_unique<QWidget>();
    for (int i = 1; i < 10'000; ++i) {
        new QWidget(page.get());
    }
    return page;
}

std::unique_ptr<QWidget> MakeDeepChain()
{
    auto page = std::make_unique<QWidget>();
    QWidget* pLink = page.get();
    for (int i = 1; i < 1'000; ++i) {
        pLink = new QWidget(pLink);
    }
    return page;
}

// A settings-style page: a header row, fifteen group boxes of form rows with
// a nested group box each, and a status row; 300 widgets with layouts between.
std::unique_ptr<QWidget> MakeRealisticPage()
{
    auto page = std::make_unique<QWidget>();
    auto* pPageLayout = new QVBoxLayout(page.get());

    auto* pHeader = new QHBoxLayout;
    pHeader->addWidget(new QLabel(QStringLiteral("Orders"), page.get()));
    pHeader->addWidget(new QLineEdit(page.get()));
    pHeader->addWidget(new QPushButton(QStringLiteral("Refresh"), page.get()));
    pPageLayout->addLayout(pHeader);

    for (int nGroup = 0; nGroup < 15; ++nGroup) {
        auto* pGroup = new QGroupBox(QStringLiteral("Group %1").arg(nGroup), page.get());
        auto* pForm = new QFormLayout(pGroup);
        for (int nRow = 0; nRow < 6; ++nRow) {
            pForm->addRow(new QLabel(QStringLiteral("Field %1").arg(nRow), pGroup), new QLineEdit(pGroup));
        }
        auto* pNested = new QGroupBox(QStringLiteral("Options"), pGroup);
        auto* pGrid = new QGridLayout(pNested);
        pGrid->addWidget(new QCheckBox(QStringLiteral("A"), pNested), 0, 0);
        pGrid->addWidget(new QCheckBox(QStringLiteral("B"), pNested), 0, 1);
        pGrid->addWidget(new QComboBox(pNested), 1, 0);
        auto* pButtons = new QHBoxLayout;
        pButtons->addWidget(new QPushButton(QStringLiteral("OK"), pNested));
        pButtons->addWidget(new QPushButton(QStringLiteral("Cancel"), pNested));
        pGrid->addLayout(pButtons, 1, 1);
        pForm->addRow(pNested);
        pPageLayout->addWidget(pGroup);
    }

    auto* pStatus = new QHBoxLayout;
    for (int nField = 0; nField < 11; ++nField) {
        pStatus->addWidget(new QLabel(QStringLiteral("-"), page.get()));
    }
    pPageLayout->addLayout(pStatus);
    return page;
}

enum Tree : int64_t { TREE_WIDE, TREE_DEEP, TREE_REALISTIC };

std::unique_ptr<QWidget> MakeTree(int64_t nTree)
{
    switch (nTree) {
    case TREE_WIDE:
        return MakeWidePage();
    case TREE_DEEP:
        return MakeDeepChain();
    default:
        return MakeRealisticPage();
    }
}

void BM_GetChildrenCount(benchmark::State& state)
{
    const auto page = MakeTree(state.range(0));
    const CCreatePerformanceReportHelper helper;
    int nCount = 0;
    for (auto _ : state) {
        nCount = helper.GetChildrenCount(*page);
        benchmark::DoNotOptimize(nCount);
    }
    if (nCount != page->findChildren<QWidget*>().size() + 1) {
        state.SkipWithError("count differs from findChildren");
    }
    state.counters["widgets"] = nCount;
}

// The same count without GetChildrenCount's leaf shortcut: pop a widget, add
// its direct widget children to the count and to the work list. The same
// reserve keeps the shortcut the only difference.
int CountWithPlainWorkList(const QWidget& widget)
{
    int nCount = 1;
    std::vector<const QWidget*> vtPending;
    vtPending.reserve(64);
    for (vtPending.push_back(&widget); !vtPending.empty();) {
        const QWidget* pWidget = vtPending.back();
        vtPending.pop_back();
        for (const QObject* pChild : pWidget->children()) {
            if (pChild->isWidgetType()) {
                ++nCount;
                vtPending.push_back(static_cast<const QWidget*>(pChild));
            }
        }
    }
    return nCount;
}

void BM_PlainWorkList(benchmark::State& state)
{
    const auto page = MakeTree(state.range(0));
    int nCount = 0;
    for (auto _ : state) {
        nCount = CountWithPlainWorkList(*page);
        benchmark::DoNotOptimize(nCount);
    }
    if (nCount != page->findChildren<QWidget*>().size() + 1) {
        state.SkipWithError("count differs from findChildren");
    }
    state.counters["widgets"] = nCount;
}

void BM_FindChildren(benchmark::State& state)
{
    const auto page = MakeTree(state.range(0));
    int nCount = 0;
    for (auto _ : state) {
        nCount = page->findChildren<QWidget*>().size() + 1;
        benchmark::DoNotOptimize(nCount);
    }
    state.counters["widgets"] = nCount;
}

void BM_DoReportWithFileSink(benchmark::State& state)
{
    QTemporaryDir dir;
    const QByteArray sinkPath = dir.filePath(QStringLiteral("events.jsonl")).toLocal8Bit();
    ::setenv("LX_REPORT_SINK_FILE", sinkPath.constData(), 1);
    CCreatePerformanceReportHelper helper;
    for (auto _ : state) {
        helper.DoReport(QStringLiteral("Quotes"), 300, 42);
    }
    ::unsetenv("LX_REPORT_SINK_FILE");
}

// What an installed client pays per event when nobody collects them.
void BM_DoReportWithoutSink(benchmark::State& state)
{
    ::unsetenv("LX_REPORT_SINK_FILE");
    CCreatePerformanceReportHelper helper;
    for (auto _ : state) {
        helper.DoReport(QStringLiteral("Quotes"), 300, 42);
    }
}

void TreeArgs(benchmark::internal::Benchmark* pBenchmark)
{
    pBenchmark->ArgName("tree")->Arg(TREE_WIDE)->Arg(TREE_DEEP)->Arg(TREE_REALISTIC);
}

BENCHMARK(BM_GetChildrenCount)->Apply(TreeArgs);
BENCHMARK(BM_PlainWorkList)->Apply(TreeArgs);
BENCHMARK(BM_FindChildren)->Apply(TreeArgs);
BENCHMARK(BM_DoReportWithFileSink);
BENCHMARK(BM_DoReportWithoutSink);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
