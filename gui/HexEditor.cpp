// Painting, cursor movement and nibble editing of the "Flash" page's hex view. Every character
// sits in a fixed-pitch cell, so a page is drawn as pre-looked-up glyphs gathered per colour and
// drawn a few calls per page; fonts lacking a glyph fall back to a handful of text runs per row.
#include "gui/HexEditor.h"

#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRawFont>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QtMath>
#include <algorithm>

#include "image/HexDocument.h"

namespace quillon::gui {

namespace {

// Layout in character widths: "0x" + 8 digits with one blank either side, then 16 hex cells of
// three characters (the digits centred), one blank, 16 characters and one blank.
constexpr qreal offsetColumnChars = 12;
constexpr qreal hexStartChars = 12.5;
constexpr qreal hexCellChars = 3;
constexpr qreal charStartChars = hexStartChars + hexCellChars * HexEditor::bytesPerRow + 1;
constexpr qreal contentChars = charStartChars + HexEditor::bytesPerRow + 1;
constexpr int runLength = 3 * HexEditor::bytesPerRow - 1;
constexpr int defaultRows = 16;

constexpr char16_t hexDigits[] = u"0123456789ABCDEF";
constexpr int firstPrintable = 0x20;
constexpr int printableCount = 0x7F - firstPrintable;

// Glyphs of one colour gathered over a page. 128 at a time is what drawGlyphRun converts
// without allocating, and a few calls per page cost nothing next to blending the glyphs.
class GlyphBatch {
public:
    explicit GlyphBatch(const QPen& pen) : pen_(pen) {}

    void add(QPainter& painter, QGlyphRun& run, quint32 glyph, qreal x, qreal y) {
        if (count_ == capacity) flush(painter, run);
        glyphs_[static_cast<std::size_t>(count_)] = glyph;
        positions_[static_cast<std::size_t>(count_)] = QPointF(x, y);
        ++count_;
    }

    void flush(QPainter& painter, QGlyphRun& run) {
        if (count_ == 0) return;
        painter.setPen(pen_);
        run.setRawData(glyphs_.data(), positions_.data(), count_);
        painter.drawGlyphRun(QPointF(0, 0), run);
        run.setRawData(nullptr, nullptr, 0);  // the arrays live no longer than this batch
        count_ = 0;
    }

private:
    static constexpr int capacity = 128;
    const QPen& pen_;
    int count_ = 0;
    std::array<quint32, capacity> glyphs_;
    std::array<QPointF, capacity> positions_;
};

QChar printable(std::uint8_t b) {
    return (b >= 0x20 && b < 0x7F) ? QChar(b) : QChar(u'.');
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'a' && u <= u'f') return u - u'a' + 10;
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    return -1;
}

QFont viewFont() {
    // "Courier New" where it is installed; otherwise fontconfig's typewriter face.
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(18);
    font.setKerning(false);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(18);
        font.setKerning(false);
    }
    return font;
}

}  // namespace

HexEditor::HexEditor(QWidget* parent) : QAbstractScrollArea(parent) {
    for (int b = 0; b < 256; ++b) {
        const QChar digits[2] = {QChar(hexDigits[b >> 4]), QChar(hexDigits[b & 0x0F])};
        hexText_[static_cast<std::size_t>(b)] = QString(digits, 2);
    }
    evenRun_ = QString(runLength, QChar(u' '));
    oddRun_ = QString(runLength, QChar(u' '));
    changedRun_ = QString(runLength, QChar(u' '));
    charRun_ = QString(bytesPerRow, QChar(u' '));
    changedCharRun_ = QString(bytesPerRow, QChar(u' '));
    offsetText_ = QStringLiteral("0x00000000");
    rulerHex_ = QString(runLength, QChar(u' '));
    for (int c = 0; c < bytesPerRow; ++c) {
        rulerHex_[3 * c] = QChar(u'0');
        rulerHex_[3 * c + 1] = QChar(hexDigits[c]);
    }
    rulerChars_ = QString::fromUtf16(hexDigits, bytesPerRow);

    setFocusPolicy(Qt::StrongFocus);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    // paintEvent fills every pixel it is asked for; a second fill by Qt cost as much as the text.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    setFont(viewFont());
    updateMetrics();
    updateScrollBars();
}

HexEditor::~HexEditor() {
    if (doc_ != nullptr) {
        doc_->SetChangeCallback({});
    }
}

void HexEditor::setDocument(quillon::HexDocument* doc) {
    if (doc == doc_) {
        documentChanged();
        return;
    }
    if (doc_ != nullptr) {
        doc_->SetChangeCallback({});
    }
    doc_ = doc;
    if (doc_ != nullptr) {
        doc_->SetChangeCallback([this](const quillon::HexChange& change) { onDocumentChange(change); });
    }
    const qint64 old = cursor_;
    cursor_ = 0;
    nibble_ = 0;
    verticalScrollBar()->setValue(0);
    documentChanged();
    if (old != cursor_) {
        emit cursorMoved(cursor_);
    }
}

void HexEditor::documentChanged() {
    updateScrollBars();
    const qint64 size = dataSize();
    if (cursor_ >= size && cursor_ > 0) {
        moveCursor(size - 1);
    }
    viewport()->update();
}

void HexEditor::onDocumentChange(const quillon::HexChange& change) {
    if (change.sizeChanged) {
        documentChanged();
        return;
    }
    if (change.count == 0) {
        return;
    }
    const auto first = static_cast<qint64>(change.offset / bytesPerRow);
    const auto last = static_cast<qint64>((change.offset + change.count - 1) / bytesPerRow);
    updateRows(first, last);
}

void HexEditor::setReadOnly(bool readOnly) {
    readOnly_ = readOnly;
    nibble_ = 0;
}

qint64 HexEditor::dataSize() const {
    return doc_ != nullptr ? static_cast<qint64>(doc_->GetDataSize()) : 0;
}

qint64 HexEditor::rowCount() const {
    return (dataSize() + bytesPerRow - 1) / bytesPerRow;
}

int HexEditor::firstVisibleRow() const {
    return verticalScrollBar()->value();
}

int HexEditor::visibleRowCount() const {
    return std::max(1, (viewport()->height() - rowHeight_) / rowHeight_);
}

qreal HexEditor::hexX() const {
    return hexStartChars * charWidth_;
}

qreal HexEditor::charX() const {
    return charStartChars * charWidth_;
}

int HexEditor::contentWidth() const {
    return qCeil(contentChars * charWidth_);
}

int HexEditor::rowTop(qint64 row) const {
    return rowHeight_ + static_cast<int>(row - firstVisibleRow()) * rowHeight_;
}

QRect HexEditor::byteRect(qint64 offset) const {
    if (offset < 0 || offset >= dataSize()) return {};
    const qreal x = hexX() + hexCellChars * charWidth_ * static_cast<qreal>(offset % bytesPerRow) -
                    horizontalScrollBar()->value();
    return QRectF(x, rowTop(offset / bytesPerRow), hexCellChars * charWidth_, rowHeight_).toAlignedRect();
}

QRect HexEditor::charRect(qint64 offset) const {
    if (offset < 0 || offset >= dataSize()) return {};
    const qreal x =
        charX() + charWidth_ * static_cast<qreal>(offset % bytesPerRow) - horizontalScrollBar()->value();
    return QRectF(x, rowTop(offset / bytesPerRow), charWidth_, rowHeight_).toAlignedRect();
}

qint64 HexEditor::offsetAt(QPoint pos) const {
    if (pos.y() < rowHeight_) return -1;
    const qreal x = pos.x() + horizontalScrollBar()->value();
    int column = -1;
    if (x >= hexX() && x < hexX() + hexCellChars * charWidth_ * bytesPerRow) {
        column = static_cast<int>((x - hexX()) / (hexCellChars * charWidth_));
    } else if (x >= charX() && x < charX() + charWidth_ * bytesPerRow) {
        column = static_cast<int>((x - charX()) / charWidth_);
    }
    if (column < 0) return -1;
    const qint64 row = firstVisibleRow() + (pos.y() - rowHeight_) / rowHeight_;
    const qint64 offset = row * bytesPerRow + std::min(column, bytesPerRow - 1);
    return offset < dataSize() ? offset : -1;
}

void HexEditor::updateMetrics() {
    const QFontMetricsF fm(font());
    // The advance of a run, not of one glyph: text is drawn in runs and cells must match it.
    charWidth_ = std::max<qreal>(1, fm.horizontalAdvance(QStringLiteral("0123456789ABCDEF")) / 16.0);
    rowHeight_ = std::max(1, qCeil(fm.height()) + 2);
    ascent_ = qCeil(fm.ascent()) + 1;

    // drawText lays these characters out with the primary face whenever it has them all, so
    // drawing that face's glyphs in the cells looks the same without shaping every run.
    const QRawFont rawFont = QRawFont::fromFont(font());
    glyphsReady_ = false;
    glyphOf_.fill(0);
    if (rawFont.isValid()) {
        std::array<QChar, printableCount> chars;
        for (int i = 0; i < printableCount; ++i)
            chars[static_cast<std::size_t>(i)] = QChar(firstPrintable + i);
        std::array<quint32, printableCount> glyphs{};
        int found = printableCount;
        if (rawFont.glyphIndexesForChars(chars.data(), printableCount, glyphs.data(), &found) &&
            found == printableCount) {
            glyphsReady_ = std::none_of(glyphs.begin(), glyphs.end(), [](quint32 g) { return g == 0; });
            std::copy(glyphs.begin(), glyphs.end(), glyphOf_.begin() + firstPrintable);
        }
    }
    glyphRun_.setRawFont(rawFont);
}

void HexEditor::updateScrollBars() {
    const int page = visibleRowCount();
    const qint64 rows = rowCount();
    QScrollBar* v = verticalScrollBar();
    v->setPageStep(page);
    v->setSingleStep(1);
    v->setRange(0, static_cast<int>(std::max<qint64>(0, rows - page)));
    QScrollBar* h = horizontalScrollBar();
    h->setPageStep(viewport()->width());
    h->setSingleStep(qCeil(charWidth_));
    h->setRange(0, std::max(0, contentWidth() - viewport()->width()));
}

void HexEditor::updateRows(qint64 firstRow, qint64 lastRow) {
    const qint64 top = firstVisibleRow();
    // One more than the full rows: a partly visible row at the bottom is painted too.
    const qint64 bottom = top + visibleRowCount();
    firstRow = std::max(firstRow, top);
    lastRow = std::min(lastRow, bottom);
    if (firstRow > lastRow) return;
    const int y = rowTop(firstRow);
    viewport()->update(0, y, viewport()->width(), static_cast<int>(lastRow - firstRow + 1) * rowHeight_);
}

void HexEditor::moveCursor(qint64 offset, int nibble) {
    const qint64 size = dataSize();
    offset = std::clamp<qint64>(offset, 0, std::max<qint64>(0, size - 1));
    const qint64 old = cursor_;
    cursor_ = offset;
    nibble_ = nibble;
    ensureCursorVisible();
    updateRows(old / bytesPerRow, old / bytesPerRow);
    updateRows(cursor_ / bytesPerRow, cursor_ / bytesPerRow);
    if (old != cursor_) {
        emit cursorMoved(cursor_);
    }
}

void HexEditor::setCursorOffset(qint64 offset) {
    moveCursor(offset);
}

void HexEditor::ensureCursorVisible() {
    const qint64 row = cursor_ / bytesPerRow;
    const int page = visibleRowCount();
    QScrollBar* v = verticalScrollBar();
    if (row < v->value()) {
        v->setValue(static_cast<int>(row));
    } else if (row >= static_cast<qint64>(v->value()) + page) {
        v->setValue(static_cast<int>(row - page + 1));
    }
    QScrollBar* h = horizontalScrollBar();
    const qreal left = hexX() + hexCellChars * charWidth_ * static_cast<qreal>(cursor_ % bytesPerRow);
    const qreal right = left + hexCellChars * charWidth_;
    if (left < h->value()) {
        h->setValue(qFloor(left));
    } else if (right > h->value() + viewport()->width()) {
        h->setValue(qCeil(right) - viewport()->width());
    }
}

void HexEditor::typeNibble(int value) {
    const auto at = static_cast<std::size_t>(cursor_);
    const std::uint8_t old = doc_->ByteAt(at);
    const auto updated =
        static_cast<std::uint8_t>(nibble_ == 0 ? (value << 4) | (old & 0x0F) : (old & 0xF0) | value);
    doc_->EditByte(at, updated);
    if (nibble_ == 0) {
        nibble_ = 1;
        updateRows(cursor_ / bytesPerRow, cursor_ / bytesPerRow);
    } else if (cursor_ + 1 < dataSize()) {
        moveCursor(cursor_ + 1);
    } else {
        // The last byte: the view never grows by typing, so the cursor stays on it.
        nibble_ = 0;
        updateRows(cursor_ / bytesPerRow, cursor_ / bytesPerRow);
    }
    emit edited();
}

void HexEditor::keyPressEvent(QKeyEvent* event) {
    const qint64 size = dataSize();
    const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
    const qint64 column = cursor_ % bytesPerRow;
    const qint64 rowStart = cursor_ - column;
    const qint64 lastRow = std::max<qint64>(0, rowCount() - 1);
    const qint64 pageBytes = static_cast<qint64>(visibleRowCount()) * bytesPerRow;
    qint64 target = -1;
    switch (event->key()) {
        case Qt::Key_Left:
            target = std::max<qint64>(0, cursor_ - 1);
            break;
        case Qt::Key_Right:
            target = cursor_ + 1;
            break;
        case Qt::Key_Up:
            target = cursor_ >= bytesPerRow ? cursor_ - bytesPerRow : cursor_;
            break;
        case Qt::Key_Down:
            target = rowStart / bytesPerRow < lastRow ? cursor_ + bytesPerRow : cursor_;
            break;
        case Qt::Key_PageUp:
            verticalScrollBar()->setValue(verticalScrollBar()->value() - visibleRowCount());
            target = cursor_ >= pageBytes ? cursor_ - pageBytes : column;
            break;
        case Qt::Key_PageDown:
            verticalScrollBar()->setValue(verticalScrollBar()->value() + visibleRowCount());
            target = cursor_ + pageBytes < size ? cursor_ + pageBytes : lastRow * bytesPerRow + column;
            break;
        case Qt::Key_Home:
            target = ctrl ? 0 : rowStart;
            break;
        case Qt::Key_End:
            target = ctrl ? size - 1 : rowStart + bytesPerRow - 1;
            break;
        default:
            break;
    }
    if (target >= 0) {
        moveCursor(target);  // clamps to the last byte
        event->accept();
        return;
    }
    const QString text = event->text();
    const bool plain = !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    const int digit = (plain && text.size() == 1) ? hexValue(text.front()) : -1;
    if (digit >= 0) {
        if (!readOnly_ && size > 0) {
            typeNibble(digit);
        }
        event->accept();
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void HexEditor::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const qint64 offset = offsetAt(event->position().toPoint());
        if (offset >= 0) {
            moveCursor(offset);
        }
        event->accept();
        return;
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void HexEditor::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    updateRows(cursor_ / bytesPerRow, cursor_ / bytesPerRow);
}

void HexEditor::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    updateRows(cursor_ / bytesPerRow, cursor_ / bytesPerRow);
}

void HexEditor::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        updateScrollBars();
        updateGeometry();
        viewport()->update();
    }
}

void HexEditor::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    ensureCursorVisible();
}

void HexEditor::scrollContentsBy(int, int) {
    // Scroll values are rows, not pixels; repainting one page is cheaper than a blit anyway.
    viewport()->update();
}

QSize HexEditor::sizeHint() const {
    const int frame = 2 * frameWidth();
    return {contentWidth() + frame + verticalScrollBar()->sizeHint().width(),
            rowHeight_ * (defaultRows + 1) + frame};
}

QSize HexEditor::minimumSizeHint() const {
    const int frame = 2 * frameWidth();
    return {qCeil(offsetColumnChars * 2 * charWidth_) + frame + verticalScrollBar()->sizeHint().width(),
            rowHeight_ * 4 + frame};
}

void HexEditor::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.setFont(font());
    const QRect area = event->rect();
    const int width = viewport()->width();
    const int height = viewport()->height();
    const int shift = horizontalScrollBar()->value();
    painter.fillRect(area, palette().color(QPalette::Base));
    painter.translate(-shift, 0);

    const QColor face = palette().color(QPalette::Button);
    const QRectF offsetBand(0, rowHeight_, offsetColumnChars * charWidth_, height - rowHeight_);
    painter.fillRect(offsetBand.intersected(QRectF(area.translated(shift, 0))), face);
    // The ruler stays put vertically and follows horizontal scrolling.
    const bool ruler = area.top() < rowHeight_;
    if (ruler) {
        painter.fillRect(QRectF(shift, 0, width, rowHeight_), face);
    }

    // Rows from..to of the page (0 is the top one) are in the area and hold data.
    int from = 0;
    int to = -1;
    if (area.bottom() >= rowHeight_) {
        from = std::max(0, area.top() - rowHeight_) / rowHeight_;
        to = static_cast<int>(
            std::min<qint64>((area.bottom() - rowHeight_) / rowHeight_, rowCount() - 1 - firstVisibleRow()));
    }
    if (glyphsReady_) {
        paintRowsAsGlyphs(painter, from, to, ruler);
    } else {
        for (int i = from; i <= to; ++i) {
            paintRowAsText(painter, firstVisibleRow() + i, rowHeight_ + i * rowHeight_);
        }
        if (ruler) paintRulerAsText(painter);
    }
    paintCursor(painter, from, to);
}

void HexEditor::fillChangedCells(QPainter& painter, qint64 first, int count, int top) const {
    // One rectangle per run of changed bytes: with non-antialiased fills the pixels are the
    // same as one per byte.
    const qreal cellWidth = hexCellChars * charWidth_;
    for (int c = 0; c < count;) {
        if (!doc_->IsChanged(static_cast<std::size_t>(first + c))) {
            ++c;
            continue;
        }
        const int start = c;
        while (c < count && doc_->IsChanged(static_cast<std::size_t>(first + c))) ++c;
        const int n = c - start;
        painter.fillRect(QRectF(hexX() + cellWidth * start, top, cellWidth * n, rowHeight_),
                         changedBackColor());
        painter.fillRect(QRectF(charX() + charWidth_ * start, top, charWidth_ * n, rowHeight_),
                         changedBackColor());
    }
}

void HexEditor::paintRowsAsGlyphs(QPainter& painter, int from, int to, bool ruler) {
    const QColor colours[] = {Qt::black, evenColumnColor(), oddColumnColor(), palette().color(QPalette::Text),
                              changedTextColor()};
    for (std::size_t i = 0; i < glyphPens_.size(); ++i) {
        if (glyphPens_[i].color() != colours[i]) glyphPens_[i] = QPen(colours[i]);
    }
    GlyphBatch black(glyphPens_[0]);
    GlyphBatch even(glyphPens_[1]);
    GlyphBatch odd(glyphPens_[2]);
    GlyphBatch text(glyphPens_[3]);
    GlyphBatch changed(glyphPens_[4]);
    const auto put = [&](GlyphBatch& batch, char16_t c, qreal x, qreal y) {
        batch.add(painter, glyphRun_, glyphOf_[c], x, y);
    };
    const qreal hexLeft = hexX() + charWidth_ / 2;
    const qreal cellWidth = hexCellChars * charWidth_;
    const qreal charLeft = charX();

    if (ruler) {
        for (int c = 0; c < bytesPerRow; ++c) {
            put(black, u'0', hexLeft + cellWidth * c, ascent_);
            put(black, hexDigits[c], hexLeft + cellWidth * c + charWidth_, ascent_);
            put(black, hexDigits[c], charLeft + charWidth_ * c, ascent_);
        }
    }

    const std::span<const std::uint8_t> data =
        doc_ != nullptr ? doc_->Data() : std::span<const std::uint8_t>();
    for (int i = from; i <= to; ++i) {
        const qint64 first = static_cast<qint64>(firstVisibleRow() + i) * bytesPerRow;
        const int top = rowHeight_ + i * rowHeight_;
        const qreal baseline = top + ascent_;
        const int count =
            static_cast<int>(std::min<qint64>(bytesPerRow, static_cast<qint64>(data.size()) - first));

        put(black, u'0', charWidth_, baseline);
        put(black, u'x', 2 * charWidth_, baseline);
        for (int d = 7; d >= 0; --d) {
            put(black, hexDigits[(first >> (4 * d)) & 0x0F], (10 - d) * charWidth_, baseline);
        }

        fillChangedCells(painter, first, count, top);
        for (int c = 0; c < count; ++c) {
            const auto offset = static_cast<std::size_t>(first + c);
            const std::uint8_t b = data[offset];
            const bool isChanged = doc_->IsChanged(offset);
            GlyphBatch& hex = isChanged ? changed : (c % 2 == 0 ? even : odd);
            const qreal x = hexLeft + cellWidth * c;
            put(hex, hexDigits[b >> 4], x, baseline);
            put(hex, hexDigits[b & 0x0F], x + charWidth_, baseline);
            put(isChanged ? changed : text, printable(b).unicode(), charLeft + charWidth_ * c, baseline);
        }
    }
    for (GlyphBatch* batch : {&black, &even, &odd, &text, &changed}) {
        batch->flush(painter, glyphRun_);
    }
}

void HexEditor::paintRulerAsText(QPainter& painter) {
    painter.setPen(Qt::black);
    painter.drawText(QPointF(hexX() + charWidth_ / 2, ascent_), rulerHex_);
    painter.drawText(QPointF(charX(), ascent_), rulerChars_);
}

void HexEditor::paintRowAsText(QPainter& painter, qint64 row, int top) {
    const qint64 first = row * bytesPerRow;
    const std::span<const std::uint8_t> data = doc_->Data();
    const int count =
        static_cast<int>(std::min<qint64>(bytesPerRow, static_cast<qint64>(data.size()) - first));
    const qreal baseline = top + ascent_;

    QChar* offsetDigits = offsetText_.data() + 2;
    for (int d = 7; d >= 0; --d) {
        offsetDigits[7 - d] = QChar(hexDigits[(first >> (4 * d)) & 0x0F]);
    }
    painter.setPen(Qt::black);
    painter.drawText(QPointF(charWidth_, baseline), offsetText_);
    fillChangedCells(painter, first, count, top);

    // One run per colour, blank where another colour draws: with a fixed-pitch font the runs
    // overlay into the row, and a row costs the same few draws however its bytes are marked.
    QChar* even = evenRun_.data();
    QChar* odd = oddRun_.data();
    QChar* changedHex = changedRun_.data();
    QChar* chars = charRun_.data();
    QChar* changedChars = changedCharRun_.data();
    std::fill(even, even + runLength, QChar(u' '));
    std::fill(odd, odd + runLength, QChar(u' '));
    std::fill(changedHex, changedHex + runLength, QChar(u' '));
    std::fill(chars, chars + bytesPerRow, QChar(u' '));
    std::fill(changedChars, changedChars + bytesPerRow, QChar(u' '));
    bool anyChanged = false;
    for (int c = 0; c < count; ++c) {
        const auto offset = static_cast<std::size_t>(first + c);
        const std::uint8_t b = data[offset];
        QChar* hex = (c % 2 == 0) ? even : odd;
        QChar* text = chars;
        if (doc_->IsChanged(offset)) {
            anyChanged = true;
            hex = changedHex;
            text = changedChars;
        }
        hex[3 * c] = QChar(hexDigits[b >> 4]);
        hex[3 * c + 1] = QChar(hexDigits[b & 0x0F]);
        text[c] = printable(b);
    }
    const qreal textX = hexX() + charWidth_ / 2;
    painter.setPen(evenColumnColor());
    painter.drawText(QPointF(textX, baseline), evenRun_);
    if (count > 1) {
        painter.setPen(oddColumnColor());
        painter.drawText(QPointF(textX, baseline), oddRun_);
    }
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QPointF(charX(), baseline), charRun_);
    if (anyChanged) {
        painter.setPen(changedTextColor());
        painter.drawText(QPointF(textX, baseline), changedRun_);
        painter.drawText(QPointF(charX(), baseline), changedCharRun_);
    }
}

void HexEditor::paintCursor(QPainter& painter, int from, int to) {
    if (cursor_ >= dataSize()) return;
    const qint64 row = cursor_ / bytesPerRow;
    const qint64 i = row - firstVisibleRow();
    if (i < from || i > to) return;
    const int top = rowTop(row);
    const qreal baseline = top + ascent_;
    const qreal cellWidth = hexCellChars * charWidth_;
    const int c = static_cast<int>(cursor_ % bytesPerRow);
    const QRect cell = QRectF(hexX() + cellWidth * c, top, cellWidth, rowHeight_).toAlignedRect();
    const QRect charCell = QRectF(charX() + charWidth_ * c, top, charWidth_, rowHeight_).toAlignedRect();
    const QColor highlight = palette().color(QPalette::Active, QPalette::Highlight);
    // The cursor stays visible without focus as a frame around the byte and its character.
    painter.setPen(highlight);
    painter.drawRect(charCell.adjusted(0, 0, -1, -1));
    if (!hasFocus()) {
        painter.drawRect(cell.adjusted(0, 0, -1, -1));
        return;
    }
    const QColor highlightText = palette().color(QPalette::Active, QPalette::HighlightedText);
    painter.fillRect(cell, highlight);
    painter.setPen(highlightText);
    painter.drawText(QPointF(hexX() + cellWidth * c + charWidth_ / 2, baseline),
                     hexText_[doc_->Data()[static_cast<std::size_t>(cursor_)]]);
    // Underline the digit the next keystroke replaces.
    const qreal nibbleX = hexX() + cellWidth * c + charWidth_ / 2 + charWidth_ * nibble_;
    painter.fillRect(QRectF(nibbleX, top + rowHeight_ - 3, charWidth_, 2), highlightText);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = cell;
    option.backgroundColor = highlight;
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

}  // namespace quillon::gui
