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
}

int LogPane::Chars() const {
    return document()->characterCount() - 1; // the document's closing paragraph separator
}

void LogPane::SetMaxChars(int maxChars) {
    maxChars_ = std::max(1, maxChars);
    Trim();
}

void LogPane::AddLine(const QString& line) {
    appendPlainText(line.size() > maxChars_ ? line.left(maxChars_) : line);
    if (Chars() > maxChars_) Trim();
}

void LogPane::Trim() {
    const int excess = Chars() - maxChars_;
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
