#include "LogPane.h"

#include <QScrollBar>
#include <QTextBlock>

namespace ktr {

namespace {
// Trimming frees this share of the bound at once, so a flood of lines into a full pane pays
// for one removal every few thousand lines instead of one per line.
constexpr int kTrimSlackDivisor = 10;
} // namespace

LogPane::LogPane(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false); // an undo stack would keep every trimmed line alive
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(kLogFlushMs);
    connect(&flushTimer_, &QTimer::timeout, this, &LogPane::Flush);
}

int LogPane::DocumentChars() const {
    return document()->characterCount() - 1; // the document's closing paragraph separator
}

int LogPane::Chars() {
    Flush();
    return DocumentChars();
}

QStringList LogPane::Lines() {
    Flush();
    return toPlainText().split(QLatin1Char('\n'));
}

void LogPane::SetMaxChars(int maxChars) {
    maxChars_ = std::max(1, maxChars);
    Flush();
    Trim();
}

// Each append costs a layout pass, a scroll-bar update and a repaint; lines that come within
// one frame go in together, which makes a flood many times cheaper than line by line.
void LogPane::AddLine(const QString& line) {
    pending_ << (line.size() > maxChars_ ? line.left(maxChars_) : line);
    pendingChars_ += pending_.last().size() + 1;
    if (pendingChars_ > 2 * qsizetype(maxChars_)) {
        Flush(); // a handler that never returns must not pile up lines without bound
        return;
    }
    if (!flushTimer_.isActive()) flushTimer_.start();
}

void LogPane::Flush() {
    flushTimer_.stop();
    if (pending_.isEmpty()) return;
    // Lines the bound would drop at once never reach the document.
    qsizetype skip = 0;
    while (pendingChars_ > maxChars_ && skip < pending_.size() - 1)
        pendingChars_ -= pending_[skip++].size() + 1;
    appendPlainText(pending_.mid(skip).join(QLatin1Char('\n')));
    pending_.clear();
    pendingChars_ = 0;
    Trim();
}

void LogPane::Trim() {
    const int excess = DocumentChars() - maxChars_;
    if (excess <= 0) return;
    const int target = excess + maxChars_ / kTrimSlackDivisor;
    // Whole lines from the top, never the last one: it alone fits the bound.
    QTextBlock block = document()->firstBlock();
    const QTextBlock last = document()->lastBlock();
    int removed = 0;
    while (removed < target && block != last) {
        removed += block.length();
        block = block.next();
    }
    if (removed == 0) return;
    // Keep the operator's view where it was unless it followed the end.
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(document());
    cursor.setPosition(0);
    cursor.setPosition(block.position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    if (atEnd) bar->setValue(bar->maximum());
}

} // namespace ktr
