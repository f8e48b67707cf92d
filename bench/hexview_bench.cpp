// Cost of the "Flash" page's hex view on a full 512 KiB image: opening it (setDocument and the
// first paint) and paging from the top to the bottom with every page painted into an image,
// plain and with every byte marked changed (the slow path drawing bytes one by one).
// Runs on Qt's offscreen platform; operator new is counted to show allocations per row.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <vector>

#include "bench/AllocationCounter.h"
#include "gui/HexEditor.h"
#include "image/HexDocument.h"

namespace {

using quillon::HexDocument;
using quillon::gui::HexEditor;

constexpr std::int64_t kFlash = 512 * 1024;

void fillImage(HexDocument& doc, bool markChanged) {
    doc.SetDataSize(kFlash);
    std::vector<std::uint8_t> bytes(kFlash);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + (i >> 9));
    doc.WriteBuffer(bytes.data(), 0, bytes.size());
    if (markChanged) {
        for (std::size_t i = 0; i < bytes.size(); ++i) doc.EditByte(i, bytes[i]);
    }
}

void showView(HexEditor& view) {
    view.resize(900, 400);
    view.show();
    QCoreApplication::processEvents();
}

void BM_OpenFlashImage(benchmark::State& state) {
    HexDocument a;
    HexDocument b;
    fillImage(a, false);
    fillImage(b, false);
    HexEditor view;
    showView(view);
    QImage image(view.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    bool useA = true;
    for (auto _ : state) {
        view.setDocument(useA ? &a : &b);
        view.viewport()->render(&image);
        useA = !useA;
    }
    view.setDocument(nullptr);
    if (view.rowCount() != 0) state.SkipWithError("view kept a document");
}
BENCHMARK(BM_OpenFlashImage)->Unit(benchmark::kMicrosecond);

void BM_ScrollFlashImageTopToBottom(benchmark::State& state) {
    HexDocument doc;
    fillImage(doc, state.range(0) != 0);
    HexEditor view;
    showView(view);
    view.setDocument(&doc);
    QImage image(view.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    QScrollBar* bar = view.verticalScrollBar();
    const qint64 rowsBefore = view.paintedRowCount();
    const long allocationsBefore = quillon::bench::Allocations();
    long pages = 0;
    for (auto _ : state) {
        for (int value = 0;; value += bar->pageStep()) {
            bar->setValue(value);
            view.viewport()->render(&image);
            ++pages;
            if (value >= bar->maximum()) break;
        }
    }
    const double rows = static_cast<double>(view.paintedRowCount() - rowsBefore);
    if (rows < 32768.0 * static_cast<double>(state.iterations()))
        state.SkipWithError("not every row was painted");
    state.counters["pages"] = static_cast<double>(pages) / static_cast<double>(state.iterations());
    state.counters["rows/s"] = benchmark::Counter(rows, benchmark::Counter::kIsRate);
    state.counters["news/row"] =
        static_cast<double>(quillon::bench::Allocations() - allocationsBefore) / rows;
    view.setDocument(nullptr);
}
BENCHMARK(BM_ScrollFlashImageTopToBottom)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("allChanged")
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
