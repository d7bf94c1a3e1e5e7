// Memo1: the read-only log pane. Lines are appended at the end; once the pane would hold
// more than its bound of characters, the oldest lines go, so the newest are never lost.
#pragma once

#include <QPlainTextEdit>

namespace ktr {

constexpr int kLogMaxChars = 1000000;

class LogPane : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogPane(QWidget* parent = nullptr);

    // Appends one line. The pane then holds at most MaxChars() characters of text, line
    // breaks counted; a single line longer than that keeps its first MaxChars() characters.
    void AddLine(const QString& line);
    // Characters held, line breaks counted: the length of toPlainText().
    int Chars() const;
    int MaxChars() const { return maxChars_; }
    void SetMaxChars(int maxChars);

private:
    void Trim();

    int maxChars_ = kLogMaxChars;
};

} // namespace ktr
