// The report-mode list control on the offscreen platform, shown at 1000x700:
// a fill of 10,000 rows of 8 columns from empty (DeleteAllItems, then per row
// InsertItem and 7 SetItemText), a rebuild that sets every cell to the text
// it already holds (the view reusing its rows), four lists of 2,000 rows
// filled one after the other, and the heap bytes per row of 10,000 rows.
// Each fill ends with the events and the paint it causes, so the layout and
// paint work on the GUI thread is counted. Only the control's public
// operations are used.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "framework/ListCtrl.h"

namespace {

constexpr int kColumns = 8;
constexpr int kWidth = 1000;
constexpr int kHeight = 700;

// Texts like a playlist's: empty image column, segment, id, title, status,
// start, duration, server.
struct Texts {
    std::vector<std::array<std::string, kColumns>> rows;
    std::vector<int> images;
};

const Texts& RowTexts(int count) {
    static Texts texts;
    for (int i = static_cast<int>(texts.rows.size()); i < count; ++i) {
        const std::string n = std::to_string(i);
        texts.rows.push_back({"", std::to_string(100 + i % 7), "EV" + n, "Title number " + n,
                              i % 5 == 0 ? "Running" : "Cued", "8/30/2002 01:02:03:04", "00:01:30:00",
                              "192.168.10.31"});
        texts.images.push_back(i % 4);
    }
    return texts;
}

struct Fixture {
    Fixture() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "list_bench";
        static char* argv[] = {name, nullptr};
        qapp = std::make_unique<QApplication>(argc, argv);
        if (!images.Create(24, 24, ILC_MASK | ILC_COLOR4, 4, 4)) std::abort();
        for (Qt::GlobalColor colour : {Qt::transparent, Qt::black, Qt::green, Qt::red}) {
            QPixmap pixmap(24, 24);
            pixmap.fill(colour);
            images.Add(QIcon(pixmap));
        }
    }
    std::unique_ptr<QApplication> qapp;
    CImageList images;
};

Fixture& GetFixture() {
    static Fixture* fixture = new Fixture;  // lives to the end of the process
    return *fixture;
}

// A shown top-level window holding one list with the eight columns.
struct ShownList {
    ShownList() {
        Fixture& f = GetFixture();
        if (!parent.Create(nullptr, "list bench", WS_VISIBLE, CRect(0, 0, kWidth, kHeight), nullptr, 0) ||
            !list.Create(WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT, CRect(0, 0, kWidth, kHeight), &parent, 1))
            std::abort();
        list.ModifyStyle(0, LVS_SHOWSELALWAYS);
        list.SetImageList(&f.images, LVSIL_SMALL);
        for (int c = 0; c < kColumns; ++c)
            list.InsertColumn(c, c == 0 ? "" : "Heading", LVCFMT_CENTER, c == 0 ? 20 : 138);
        Settle();
    }
    ~ShownList() {
        list.DestroyWindow();
        parent.DestroyWindow();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // What the event loop does after a fill: the posted layout, then the
    // paint of the visible rows and the header.
    void Settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    void Fill(int rows) {
        const Texts& texts = RowTexts(rows);
        list.DeleteAllItems();
        for (int r = 0; r < rows; ++r) {
            const auto& row = texts.rows[static_cast<size_t>(r)];
            const int item = list.InsertItem(list.GetItemCount(), row[0].c_str(), texts.images[static_cast<size_t>(r)]);
            for (int c = 1; c < kColumns; ++c) list.SetItemText(item, c, row[static_cast<size_t>(c)].c_str());
            if (r == rows / 2) list.SetItemState(item, LVIS_SELECTED, LVIS_SELECTED);
        }
        Settle();
    }
    // Row reuse: every cell set again, rows added or removed at the end only.
    void Rebuild(int rows) {
        const Texts& texts = RowTexts(rows);
        while (list.GetItemCount() > rows) list.DeleteItem(list.GetItemCount() - 1);
        for (int r = 0; r < rows; ++r) {
            const auto& row = texts.rows[static_cast<size_t>(r)];
            if (r >= list.GetItemCount()) list.InsertItem(r, row[0].c_str(), texts.images[static_cast<size_t>(r)]);
            for (int c = 0; c < kColumns; ++c) list.SetItemText(r, c, row[static_cast<size_t>(c)].c_str());
        }
        Settle();
    }
    CWnd parent;
    CListCtrl list;
};

size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

void BM_FillFromEmpty(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ShownList shown;
    for (auto _ : state) shown.Fill(rows);
    if (shown.list.GetItemCount() != rows) state.SkipWithError("rows missing");
    state.SetItemsProcessed(state.iterations() * rows);
}

void BM_RebuildSameTexts(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    ShownList shown;
    shown.Fill(rows);
    for (auto _ : state) shown.Rebuild(rows);
    if (shown.list.GetItemCount() != rows) state.SkipWithError("rows missing");
    state.SetItemsProcessed(state.iterations() * rows);
}

void BM_FourListsFilled(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    std::array<ShownList, 4> shown;
    for (auto _ : state)
        for (ShownList& one : shown) one.Fill(rows);
    for (ShownList& one : shown)
        if (one.list.GetItemCount() != rows) state.SkipWithError("rows missing");
    state.SetItemsProcessed(state.iterations() * rows * 4);
}

void BM_HeapBytesPerRow(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    double perRow = 0;
    for (auto _ : state) {
        ShownList shown;
        shown.Fill(100);  // fonts, icons and the view's first layout are not counted per row
        shown.list.DeleteAllItems();
        shown.Settle();
        const size_t before = HeapInUse();
        shown.Fill(rows);
        const size_t after = HeapInUse();
        perRow = (static_cast<double>(after) - static_cast<double>(before)) / rows;
    }
    state.counters["heap_bytes_per_row"] = perRow;
}

}  // namespace

BENCHMARK(BM_FillFromEmpty)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildSameTexts)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FourListsFilled)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapBytesPerRow)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);
