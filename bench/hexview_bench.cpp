// Cost of the "Flash" page's hex view on a full 512 KiB image: opening it (setDocument and the
// first paint) and paging from the top to the bottom with every page painted into an image,
// plain and with every byte marked changed. Each step renders one viewport page, as a user
// paging through sees it. Runs on Qt's offscreen platform; operator new and malloc are counted
// to show allocations per row.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPaintEvent>
#include <QScrollBar>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

#include "bench/AllocationCounter.h"
#include "gui/HexEditor.h"
#include "image/HexDocument.h"

// QString, QList and most of Qt's painting state take memory from malloc, which operator new
// does not see; count malloc, calloc and realloc too, handing each on to glibc's allocator.
// Sanitizer runtimes bring their own malloc, so there the count stays unavailable.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QUILLON_COUNTS_MALLOC 1
namespace {
std::atomic<long> g_mallocs{0};
}
extern "C" {
void* __libc_malloc(std::size_t size) noexcept;
void* __libc_calloc(std::size_t count, std::size_t size) noexcept;
void* __libc_realloc(void* p, std::size_t size) noexcept;

void* malloc(std::size_t size) noexcept {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
    if (size != 0) g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
#endif

namespace {

// Heap blocks taken so far (operator new included, it calls malloc); -1 where not counted.
long mallocs() {
#ifdef QUILLON_COUNTS_MALLOC
    return g_mallocs.load(std::memory_order_relaxed);
#else
    return -1;
#endif
}

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

// Rows the view was asked to paint, counted from the areas of its viewport's paint events (the
// ruler line above the rows excluded).
class RowsPainted : public QObject {
public:
    explicit RowsPainted(HexEditor& view) : view_(view) { view.viewport()->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Paint) return false;
        const QRect area = static_cast<QPaintEvent*>(event)->region().boundingRect();
        const int h = view_.rowHeight();
        if (area.bottom() >= h) rows += (area.bottom() - h) / h - std::max(0, area.top() - h) / h + 1;
        return false;
    }
    qint64 rows = 0;

private:
    HexEditor& view_;
};

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
    RowsPainted painted(view);
    const long allocationsBefore = quillon::bench::Allocations();
    const long mallocsBefore = mallocs();
    long pages = 0;
    for (auto _ : state) {
        for (int value = 0;; value += bar->pageStep()) {
            bar->setValue(value);
            view.viewport()->render(&image);
            ++pages;
            if (value >= bar->maximum()) break;
        }
    }
    const double rows = static_cast<double>(painted.rows);
    const long mallocsAfter = mallocs();
    if (rows < 32768.0 * static_cast<double>(state.iterations()))
        state.SkipWithError("not every row was painted");
    // A step must cost one page (the partly visible bottom row included), not the document.
    if (rows > static_cast<double>(pages) * (view.visibleRowCount() + 1))
        state.SkipWithError("a step painted more than one page");
    state.counters["pages"] = static_cast<double>(pages) / static_cast<double>(state.iterations());
    state.counters["rows/s"] = benchmark::Counter(rows, benchmark::Counter::kIsRate);
    state.counters["news/row"] =
        static_cast<double>(quillon::bench::Allocations() - allocationsBefore) / rows;
    if (mallocsBefore >= 0)
        state.counters["mallocs/row"] = static_cast<double>(mallocsAfter - mallocsBefore) / rows;
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
