// Memo1: the read-only log pane. Lines are appended at the end; once the pane would hold
// more than its bound of characters, the oldest lines go, so the newest are never lost.
#pragma once

#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>

namespace ktr {

constexpr int kLogMaxChars = 1000000;
constexpr int kLogFlushMs = 15; // about one screen frame

class LogPane : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogPane(QWidget* parent = nullptr);

    // Appends one line. It reaches the document within kLogFlushMs (or at Flush), with every
    // other line added until then, in one edit. The pane then holds at
    // most MaxChars() characters, line breaks counted; a single line longer than that keeps
    // its first MaxChars() characters.
    void AddLine(const QString& line);
    // Puts the pending lines into the document now.
    void Flush();
    // The lines shown, pending ones included (flushes).
    QStringList Lines();
    // Characters held, line breaks counted: the length of toPlainText() (flushes).
    int Chars();
    int MaxChars() const { return maxChars_; }
    void SetMaxChars(int maxChars);

private:
    void Trim();
    int DocumentChars() const;

    int maxChars_ = kLogMaxChars;
    QStringList pending_;
    qsizetype pendingChars_ = 0;
    QTimer flushTimer_;
};

} // namespace ktr
