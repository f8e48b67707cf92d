// The "Flash" page's hex view driven like a user would: typed digits, cursor keys and clicks,
// size changes of the document, and what actually lands in the pixels when it paints.
#include "gui/HexEditor.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPaintEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <vector>

#include "image/HexDocument.h"

namespace {

using quillon::HexDocument;
using quillon::gui::HexEditor;

constexpr std::int64_t flashSize = 512 * 1024;

class HexEditorTest : public ::testing::Test {
protected:
    void open(std::int64_t size) {
        doc.SetDataSize(size);
        view.setDocument(&doc);
        view.resize(900, 400);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        QCoreApplication::processEvents();
    }
    QImage renderViewport() {
        QImage image(view.viewport()->size(), QImage::Format_RGB32);
        view.viewport()->render(&image);
        return image;
    }

    HexDocument doc;
    HexEditor view;
};

// The areas of the viewport that the view was asked to paint, one per paint event.
class PaintRecorder : public QObject {
public:
    explicit PaintRecorder(QWidget* viewport) { viewport->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted.push_back(static_cast<QPaintEvent*>(event)->region().boundingRect());
        return false;
    }
    std::vector<QRect> painted;
};

// The darkest pixel of an area: the colour of the text drawn there.
QColor darkest(const QImage& image, const QRect& area) {
    QColor best = Qt::white;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() + c.green() + c.blue() < best.red() + best.green() + best.blue()) best = c;
        }
    return best;
}

TEST_F(HexEditorTest, TypedDigitsEditHighThenLowNibbleAndNeverGrowTheData) {
    open(0x40);
    QSignalSpy edited(&view, &HexEditor::edited);
    view.setCursorOffset(0x10);
    QTest::keyClick(&view, Qt::Key_A);
    EXPECT_EQ(doc.ByteAt(0x10), 0xA0);
    EXPECT_EQ(view.cursorOffset(), 0x10);
    QTest::keyClicks(&view, "5g");  // 'g' is no digit and changes nothing
    EXPECT_EQ(doc.ByteAt(0x10), 0xA5);
    EXPECT_TRUE(doc.IsChanged(0x10));
    EXPECT_FALSE(doc.IsChanged(0x11));
    EXPECT_EQ(doc.ByteAt(0x11), 0x00);
    EXPECT_EQ(view.cursorOffset(), 0x11);
    EXPECT_EQ(edited.count(), 2);

    view.setCursorOffset(0x3F);
    QTest::keyClicks(&view, "12c");
    EXPECT_EQ(doc.GetDataSize(), 0x40u);
    EXPECT_EQ(doc.ByteAt(0x3F), 0xC2);  // stays on the last byte, starting over at its high nibble
    EXPECT_EQ(view.cursorOffset(), 0x3F);
}

TEST_F(HexEditorTest, ReadOnlyBlocksEditsButNotTheCursor) {
    open(0x40);
    QSignalSpy edited(&view, &HexEditor::edited);
    view.setReadOnly(true);
    QTest::keyClicks(&view, "FF");
    QTest::keyClick(&view, Qt::Key_Right);
    EXPECT_EQ(doc.ByteAt(0), 0x00);
    EXPECT_FALSE(doc.IsChanged(0));
    EXPECT_EQ(view.cursorOffset(), 1);
    EXPECT_EQ(edited.count(), 0);
    view.setReadOnly(false);
    QTest::keyClicks(&view, "7E");
    EXPECT_EQ(doc.ByteAt(1), 0x7E);
}

TEST_F(HexEditorTest, CursorKeysLandOnTheRightByte) {
    open(0x305);  // 48 full rows and a last row of 5 bytes
    const qint64 page = 16LL * view.visibleRowCount();
    struct Case {
        qint64 from;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        qint64 to;
    } const cases[] = {
        {0x00, Qt::Key_Right, {}, 0x01},
        {0x00, Qt::Key_Left, {}, 0x00},
        {0x304, Qt::Key_Right, {}, 0x304},
        {0x03, Qt::Key_Down, {}, 0x13},
        {0x03, Qt::Key_Up, {}, 0x03},
        {0x23, Qt::Key_Up, {}, 0x13},
        {0x2F8, Qt::Key_Down, {}, 0x304},
        {0x37, Qt::Key_Home, {}, 0x30},
        {0x37, Qt::Key_End, {}, 0x3F},
        {0x302, Qt::Key_End, {}, 0x304},
        {0x37, Qt::Key_Home, Qt::ControlModifier, 0x00},
        {0x37, Qt::Key_End, Qt::ControlModifier, 0x304},
        {0x05, Qt::Key_PageDown, {}, 0x05 + page},
        {0x05, Qt::Key_PageUp, {}, 0x05},
        {0x2F5, Qt::Key_PageDown, {}, 0x304},
        {0x2F5, Qt::Key_PageUp, {}, 0x2F5 - page},
    };
    QSignalSpy moved(&view, &HexEditor::cursorMoved);
    for (const Case& c : cases) {
        view.setCursorOffset(c.from);
        moved.clear();
        QTest::keyClick(&view, c.key, c.mods);
        EXPECT_EQ(view.cursorOffset(), c.to) << "from 0x" << std::hex << c.from << " key " << c.key;
        EXPECT_EQ(moved.count(), c.from == c.to ? 0 : 1);
        const qint64 row = view.cursorOffset() / 16;
        EXPECT_TRUE(row >= view.firstVisibleRow() && row < view.firstVisibleRow() + view.visibleRowCount());
    }
}

TEST_F(HexEditorTest, ClicksLandOnTheByteUnderTheMouse) {
    open(flashSize);
    view.setCursorOffset(0x54321);  // scrolled far down: clicks must add the scroll position
    for (const qint64 offset : {qint64{0x54320}, qint64{0x5432F}, qint64{0x54355}}) {
        QTest::mousePress(view.viewport(), Qt::LeftButton, {}, view.byteRect(offset).center());
        EXPECT_EQ(view.cursorOffset(), offset);
        view.setCursorOffset(0x54321);
        QTest::mousePress(view.viewport(), Qt::LeftButton, {}, view.charRect(offset).center());
        EXPECT_EQ(view.cursorOffset(), offset);
    }
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, QPoint(view.byteRect(0x54321).x(), 2));  // ruler
    EXPECT_EQ(view.cursorOffset(), 0x54355);
}

TEST_F(HexEditorTest, DocumentSizeDrivesTheScrollRangeAndClampsTheCursor) {
    open(0);
    EXPECT_EQ(view.verticalScrollBar()->maximum(), 0);
    // An empty view paints no rows: nothing dark under the ruler, not even an offset.
    const QImage empty = renderViewport();
    EXPECT_GT(darkest(empty, QRect(0, view.rowHeight(), empty.width(), empty.height() - view.rowHeight())).lightness(), 0x80);

    doc.SetDataSize(flashSize);
    QScrollBar* bar = view.verticalScrollBar();
    EXPECT_EQ(bar->maximum() + bar->pageStep(), 32768);
    view.setCursorOffset(flashSize - 1);
    EXPECT_EQ(view.firstVisibleRow(), bar->maximum());

    doc.SetDataSize(0x20);
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_EQ(view.firstVisibleRow(), 0);
    EXPECT_EQ(view.cursorOffset(), 0x1F);
}

TEST_F(HexEditorTest, PaintingShowsChangedBytesColumnColoursOffsetsAndTheCursor) {
    open(flashSize);
    for (std::size_t i = 0; i < 16; ++i)
        doc.WriteBuffer(reinterpret_cast<const std::uint8_t*>("\x88"), 0x12300 + i, 1);
    doc.EditByte(0x12345, 0x5A);
    view.setCursorOffset(0x12345);  // scrolls so that its row is the bottom one
    view.setCursorOffset(0x12322);
    view.clearFocus();
    const QImage image = renderViewport();

    const QRect changed = view.byteRect(0x12345);
    EXPECT_EQ(image.pixelColor(changed.left() + 1, changed.top() + 1), HexEditor::changedBackColor());
    const QColor changedText = darkest(image, changed);
    EXPECT_GT(changedText.red(), 0x60);
    EXPECT_LT(changedText.green() + changedText.blue(), 0x40);
    EXPECT_EQ(image.pixelColor(view.charRect(0x12345).topLeft() + QPoint(1, 1)),
              HexEditor::changedBackColor());
    const QRect plain = view.byteRect(0x12344);
    EXPECT_EQ(image.pixelColor(plain.left() + 1, plain.top() + 1), view.palette().color(QPalette::Base));

    // Column 0x00 (even) navy, column 0x01 (odd) blue.
    const QColor even = darkest(image, view.byteRect(0x12300));
    const QColor odd = darkest(image, view.byteRect(0x12301));
    EXPECT_LT(even.red() + even.green(), 0x40);
    EXPECT_NEAR(even.blue(), 0x80, 0x20);
    EXPECT_LT(odd.red() + odd.green(), 0x40);
    EXPECT_GT(odd.blue(), 0xE0);

    // The offset column: button face with dark digits that differ from row to row.
    const QRect row = view.byteRect(0x12300);
    const QRect offsets(0, row.top(), view.byteRect(0x12300).left() - 4, row.height());
    EXPECT_EQ(image.pixelColor(1, row.top() + 1), view.palette().color(QPalette::Button));
    EXPECT_LT(darkest(image, offsets).lightness(), 0x40);
    EXPECT_NE(image.copy(offsets), image.copy(offsets.translated(0, view.rowHeight())));

    // Without focus the cursor keeps a frame in the highlight colour.
    ASSERT_FALSE(view.hasFocus());
    const QRect cursor = view.byteRect(0x12322);
    EXPECT_EQ(image.pixelColor(cursor.left(), cursor.top() + cursor.height() / 2),
              view.palette().color(QPalette::Active, QPalette::Highlight));
}

TEST_F(HexEditorTest, PaintsOnlyVisibleRowsAndOnlyChangedRows) {
    open(flashSize);
    PaintRecorder recorder(view.viewport());
    renderViewport();
    ASSERT_EQ(recorder.painted.size(), 1u);
    const int full = (recorder.painted[0].height() - view.rowHeight() + view.rowHeight() - 1) / view.rowHeight();
    EXPECT_GE(full, view.visibleRowCount());
    EXPECT_LE(full, view.visibleRowCount() + 1);

    // One changed byte on the page: its row is painted again, and nothing else.
    recorder.painted.clear();
    const qint64 edited = (view.firstVisibleRow() + 2) * 16 + 3;
    doc.EditByte(static_cast<std::size_t>(edited), 0x11);
    QCoreApplication::processEvents();
    ASSERT_EQ(recorder.painted.size(), 1u);
    EXPECT_TRUE(recorder.painted[0].contains(view.byteRect(edited)));
    EXPECT_LE(recorder.painted[0].height(), view.rowHeight());

    recorder.painted.clear();
    doc.EditByte(0x70000, 0x22);  // far below the visible page
    QCoreApplication::processEvents();
    EXPECT_TRUE(recorder.painted.empty());

    // A document switched away from no longer reaches the view, nor after the view is gone.
    HexDocument other;
    other.SetDataSize(16);
    view.setDocument(&other);
    QCoreApplication::processEvents();
    recorder.painted.clear();
    doc.EditByte(0x10, 0x33);
    QCoreApplication::processEvents();
    EXPECT_TRUE(recorder.painted.empty());
    {
        auto temporary = std::make_unique<HexEditor>();
        temporary->setDocument(&doc);
    }
    doc.EditByte(0x20, 0x44);
    EXPECT_EQ(doc.ByteAt(0x20), 0x44);
    view.setDocument(nullptr);  // other goes out of scope first
    EXPECT_EQ(view.verticalScrollBar()->maximum(), 0);
}

}  // namespace
