// The hex view of the "Flash" page: paints a HexDocument as rows of 16 bytes (offset, hex
// bytes, characters) under a fixed ruler, and lets the user move a cursor and overwrite bytes
// nibble by nibble. Only the rows on screen are painted, so a 512 KiB image (32,768 rows)
// opens and scrolls as fast as a small one.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QGlyphRun>
#include <QPen>
#include <QString>
#include <QtGlobal>
#include <array>

namespace quillon {
class HexDocument;
struct HexChange;
}  // namespace quillon

namespace quillon::gui {

class HexEditor : public QAbstractScrollArea {
    Q_OBJECT

public:
    static constexpr int bytesPerRow = 16;

    explicit HexEditor(QWidget* parent = nullptr);
    ~HexEditor() override;

    // Shows doc (not owned; nullptr shows an empty view) and becomes its change callback.
    // The document must outlive the view, or be switched away from first.
    void setDocument(quillon::HexDocument* doc);
    quillon::HexDocument* document() const { return doc_; }
    // Re-reads everything: size, scroll range, every visible byte.
    void documentChanged();

    // While read-only, typed digits change nothing; the cursor still moves.
    void setReadOnly(bool readOnly);
    bool isReadOnly() const { return readOnly_; }

    qint64 cursorOffset() const { return cursor_; }
    // Moves the cursor (clamped to the data) onto the high nibble and scrolls it into view.
    void setCursorOffset(qint64 offset);

    qint64 rowCount() const;
    int rowHeight() const { return rowHeight_; }
    int firstVisibleRow() const;
    // Rows that fit completely below the ruler; one page for PageUp / PageDown.
    int visibleRowCount() const;
    // The byte's cell in the hex area, in viewport coordinates (empty when there is no such byte).
    QRect byteRect(qint64 offset) const;
    // Where the byte's character is drawn, in viewport coordinates.
    QRect charRect(qint64 offset) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    static QColor evenColumnColor() { return QColor(0x00, 0x00, 0x80); }   // navy
    static QColor oddColumnColor() { return QColor(0x00, 0x00, 0xFF); }    // blue
    static QColor changedTextColor() { return QColor(0x80, 0x00, 0x00); }  // maroon
    static QColor changedBackColor() { return QColor(255, 255, 168); }     // light yellow

signals:
    void cursorMoved(qint64 offset);
    // A byte was changed by the user's typing (not by the program through the document).
    void edited();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void onDocumentChange(const quillon::HexChange& change);
    void updateMetrics();
    void updateScrollBars();
    qint64 dataSize() const;
    void moveCursor(qint64 offset, int nibble = 0);
    void ensureCursorVisible();
    void typeNibble(int value);
    void updateRows(qint64 firstRow, qint64 lastRow);
    qint64 offsetAt(QPoint viewportPos) const;
    int rowTop(qint64 row) const;
    qreal hexX() const;
    qreal charX() const;
    int contentWidth() const;
    void fillChangedCells(QPainter& painter, qint64 first, int count, int top) const;
    void paintRowsAsGlyphs(QPainter& painter, int from, int to, bool ruler);
    void paintRowAsText(QPainter& painter, qint64 row, int top);
    void paintRulerAsText(QPainter& painter);
    void paintCursor(QPainter& painter, int from, int to);

    quillon::HexDocument* doc_ = nullptr;
    qint64 cursor_ = 0;
    int nibble_ = 0;  // 0: the next digit sets the high half of the byte, 1: the low half
    bool readOnly_ = false;

    // Metrics of the current font, in pixels. Layout uses the measured (possibly fractional)
    // advance of a run of digits so that cells line up with text drawn as one string.
    qreal charWidth_ = 1;
    int rowHeight_ = 1;
    int ascent_ = 0;

    // Glyphs drawn without shaping: every character the view shows is one glyph of the font's
    // primary face at a fixed-pitch cell, so its glyph index is looked up once per font and
    // drawn with drawGlyphRun. Shaping each run dominated painting. When the face lacks one
    // of the characters, glyphsReady_ stays false and rows are drawn as text runs instead.
    bool glyphsReady_ = false;
    QGlyphRun glyphRun_;  // holds the face; never copied, so setting its arrays detaches nothing
    std::array<quint32, 128> glyphOf_{};  // by ASCII code, for 0x20..0x7E
    // One pen per text colour, kept so that setting a pen shares it instead of allocating one.
    std::array<QPen, 5> glyphPens_;

    // Text for the fallback path, reused from paint to paint: the 256 two-digit hex strings, one
    // string per row for each colour, and the ruler.
    std::array<QString, 256> hexText_;
    QString evenRun_;
    QString oddRun_;
    QString changedRun_;
    QString charRun_;
    QString changedCharRun_;
    QString offsetText_;
    QString rulerHex_;
    QString rulerChars_;
};

}  // namespace quillon::gui
