// Lines a second appended to a log pane that is already at its character bound, so every
// line makes room by dropping old ones: a flood logged within one handler, and the slower
// case of one line per event, each shown before the next comes.
#include "BenchSupport.h"
#include "LogPane.h"

#include <QApplication>

namespace {
constexpr int kLineChars = 60; // about the longest of the program's own log lines
constexpr int kTimedLines = 200000;
constexpr int kTimedEvents = 20000;
} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ktr::LogPane pane;
    pane.resize(218, 361);
    pane.show();
    const QString filler(kLineChars - 8, QLatin1Char('x'));
    int n = 0;
    auto line = [&] { return QStringLiteral("%1 ").arg(n++, 7, 10, QLatin1Char('0')) + filler; };
    while (pane.Chars() + kLineChars < pane.MaxChars())
        pane.AddLine(line());
    QCoreApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kTimedLines; ++i)
        pane.AddLine(line());
    QCoreApplication::processEvents(); // the repaint the flood asked for
    PrintFigure("log_append_lines_per_s", kTimedLines / (clock.nsecsElapsed() / 1e9), "lines/s");

    clock.restart();
    for (int i = 0; i < kTimedEvents; ++i) {
        pane.AddLine(line());
        QCoreApplication::processEvents();
    }
    PrintFigure("log_append_one_per_event_lines_per_s", kTimedEvents / (clock.nsecsElapsed() / 1e9),
                "lines/s");
    return 0;
}
