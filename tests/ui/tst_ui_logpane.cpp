// The log pane's bound: the oldest lines make room, the newest are never lost.
#include "LogPane.h"

#include <QScrollBar>
#include <QtTest>

using namespace ktr;

class TestUiLogPane : public QObject {
    Q_OBJECT
private slots:
    void boundDropsTheOldestWholeLines() {
        LogPane pane;
        pane.SetMaxChars(100);
        for (int i = 0; i < 60; ++i)
            pane.AddLine(QStringLiteral("line %1").arg(i));
        const int chars = pane.Chars();
        QVERIFY(chars <= 100);
        QCOMPARE(chars, pane.toPlainText().size());
        const QStringList lines = pane.Lines();
        QCOMPARE(lines.last(), QStringLiteral("line 59"));
        // What is left is an unbroken run of whole lines ending with the newest.
        const int first = lines.first().mid(5).toInt();
        QVERIFY(first > 0);
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(lines[i], QStringLiteral("line %1").arg(first + i));
    }

    void lineLongerThanTheBound() {
        LogPane pane;
        pane.SetMaxChars(10);
        pane.AddLine(QStringLiteral("old"));
        pane.AddLine(QStringLiteral("0123456789ABCDEF"));
        QCOMPARE(pane.Lines(), QStringList{QStringLiteral("0123456789")});
        pane.AddLine(QString()); // an empty line still counts its break
        QVERIFY(pane.Chars() <= 10);
        QCOMPARE(pane.Lines().last(), QString());
    }

    void fullSizePaneUnderAFlood() {
        LogPane pane;
        QCOMPARE(pane.MaxChars(), 1000000);
        pane.resize(218, 361);
        pane.show();
        const QString filler(63, QLatin1Char('x'));
        const int lines = 40000; // 2.5 million characters
        for (int i = 0; i < lines; ++i)
            pane.AddLine(QStringLiteral("%1 ").arg(i, 6, 10, QLatin1Char('0')) + filler);
        QVERIFY(pane.Chars() <= 1000000);
        QVERIFY(pane.Chars() > 800000); // trimmed by lines, not emptied
        QCOMPARE(pane.Lines().last().left(6), QStringLiteral("039999"));
        // A pane that followed the end still shows the end.
        QCOMPARE(pane.verticalScrollBar()->value(), pane.verticalScrollBar()->maximum());
        QCOMPARE(pane.document()->isUndoAvailable(), false);
    }
};

QTEST_MAIN(TestUiLogPane)
#include "tst_ui_logpane.moc"
