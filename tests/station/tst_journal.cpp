#include "Journal.h"
#include "JournalSummary.h"
#include "SerialCounter.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <csignal>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ktr;

namespace {

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Add(const QString& path, const QByteArray& bytes,
         QIODevice::OpenMode mode = QIODevice::Append) {
    QFile file(path);
    QVERIFY(file.open(mode));
    file.write(bytes);
}

QJsonObject Line(const QString& path, int number) {
    return QJsonDocument::fromJson(Read(path).split('\n').value(number - 1)).object();
}

JournalRecord Record(int status, double seconds, const QString& phase = {}) {
    JournalRecord record;
    record.Status = status;
    record.Seconds = seconds;
    record.Phase = phase;
    record.Images = {{"flash", "fw.hex", "aa", 3, "hex"}};
    return record;
}

// Runs body in `count` processes at once; true when every one returned true.
bool InChildren(int count, const std::function<bool(int)>& body) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) _exit(body(i) ? 0 : 1);
        children.push_back(pid);
    }
    bool all = true;
    for (pid_t pid : children) {
        int status = 0;
        all &= waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return all;
}

// Root passes permission checks; this drops them for as long as it lives.
struct Unprivileged {
    const bool root = geteuid() == 0;
    Unprivileged() {
        if (root) QVERIFY(setegid(65534) == 0 && seteuid(65534) == 0);
    }
    ~Unprivileged() {
        if (root) QVERIFY(seteuid(0) == 0 && setegid(0) == 0);
    }
};

} // namespace

class TestJournal : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString Path(const QString& name) const { return dir_.filePath(name); }

private slots:
    void initTestCase() {
        QVERIFY(QFile::setPermissions(
            dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                             QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    }

    // At the next start, and under a running station whose neighbour died mid-write.
    void tornLinesAreClosedOff() {
        const QString path = Path("torn.jsonl");
        Journal first, second;
        QString error;
        QVERIFY(first.Open(path, &error));
        QVERIFY(first.Append(Record(0, 1), &error));
        Add(path, "{\"start\":\"2026-12-");
        QVERIFY2(second.Open(path, &error), qPrintable(error));
        QVERIFY(Read(path).endsWith('\n'));
        JournalRecord record = Record(0, 2);
        record.Start = {QDate(2026, 12, 9), QTime(13, 42, 16, 123), QTimeZone(3 * 3600)};
        QVERIFY(second.Append(record, &error));
        Add(path, "{\"start\"");
        QVERIFY(first.Append(Record(0, 3), &error));

        QCOMPARE(Line(path, 3).value("start").toString(), "2026-12-09T10:42:16.123Z");
        QCOMPARE(Line(path, 3).value("number").toInt(), 3);
        QCOMPARE(Line(path, 5).value("number").toInt(), 5);
        const JournalSummary summary = *SummarizeJournal(path, &error);
        QCOMPARE(summary.Devices, 3);
        QCOMPARE(summary.Skipped.size(), 2u);
        QCOMPARE(summary.Skipped[0].Line, 2);
        QCOMPARE(summary.Skipped[1].Line, 4);
    }

    void twoStationsShareTheJournalAndTheCounter() {
        constexpr int kEach = 25;
        const QString path = Path("shared.jsonl"), counter = Path("serial");
        Add(counter, "1000\n", QIODevice::WriteOnly);
        QVERIFY(InChildren(2, [&](int) {
            Journal journal;
            SerialCounter serials(counter);
            if (!journal.Open(path, nullptr)) return false;
            for (int i = 0; i < kEach; ++i) {
                JournalRecord record = Record(0, 1);
                record.Serial = serials.Take(nullptr);
                if (!record.Serial || !journal.Append(record, nullptr)) return false;
            }
            return true;
        }));
        QList<int> serials;
        for (int number = 1; number <= 2 * kEach; ++number) {
            QCOMPARE(Line(path, number).value("number").toInt(), number);
            serials << Line(path, number).value("serial").toInt();
        }
        std::sort(serials.begin(), serials.end());
        for (int i = 0; i < serials.size(); ++i)
            QCOMPARE(serials[i], 1000 + i);
        QCOMPARE(Read(counter), QByteArray::number(1000 + 2 * kEach) + '\n');
    }

    void openRefuses_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("says");
        Add(Path("read-only.jsonl"), "", QIODevice::WriteOnly);
        QVERIFY(
            QFile::setPermissions(Path("read-only.jsonl"), QFile::ReadOwner | QFile::ReadOther));
        QTest::newRow("folder") << dir_.path() << "не обычный файл";
        QTest::newRow("device") << "/dev/null"
                                << "не обычный файл";
        QTest::newRow("read-only") << Path("read-only.jsonl")
                                   << "нет доступа на запись (" + QString(strerror(EACCES)) + ")";
        QTest::newRow("no folder") << Path("none/j.jsonl") << "не открывается (";
    }
    void openRefuses() {
        QFETCH(QString, path);
        QFETCH(QString, says);
        Journal journal;
        QString error;
        {
            const Unprivileged unprivileged;
            QVERIFY(!journal.Open(path, &error));
        }
        QVERIFY2(error.startsWith("журнал " + path + ": ") && error.contains(says),
                 qPrintable(error));
        QVERIFY(!journal.IsOpen());
    }

    void aFullFileLeavesNoTornRecord() {
        const QString path = Path("full.jsonl");
        Journal journal;
        QString error;
        QVERIFY(journal.Open(path, &error) && journal.Append(Record(0, 1), &error));
        const QByteArray before = Read(path);
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        rlimit full = saved;
        full.rlim_cur = rlim_t(before.size() + 10);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &full) == 0);
        const bool appended = journal.Append(Record(0, 2), &error);
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, oldHandler);

        QVERIFY(!appended);
        QVERIFY2(error.contains("запись не удалась (" + QString(strerror(EFBIG))),
                 qPrintable(error));
        QCOMPARE(Read(path), before);
        QVERIFY(journal.Append(Record(0, 3), &error));
        QCOMPARE(Line(path, 2).value("number").toInt(), 2);
    }

    void serialCounterTakesInTurn() {
        const QString path = Path("counter");
        Add(path, " 4294967293\n", QIODevice::WriteOnly);
        SerialCounter counter(path);
        QString error;
        QCOMPARE(counter.Take(&error), 4294967293u);
        QCOMPARE(Read(path), "4294967294\n");
        QCOMPARE(counter.Take(&error), 4294967294u);
        QVERIFY(!counter.Take(&error));
        QVERIFY2(error.contains("номера исчерпаны"), qPrintable(error));
        QCOMPARE(Read(path), "4294967295\n");
    }

    void serialCounterRefuses_data() {
        QTest::addColumn<QByteArray>("text");
        for (const char* text :
             {"", "abc", "-1", "+5", "12 34", "0x10", "4294967296", "99999999999999999999"})
            QTest::newRow(text) << QByteArray(text);
    }
    void serialCounterRefuses() {
        QFETCH(QByteArray, text);
        const QString path = Path("bad-counter");
        Add(path, text, QIODevice::WriteOnly | QIODevice::Truncate);
        QString error;
        QVERIFY(!SerialCounter(path).Take(&error));
        QVERIFY2(error.contains("не число от 0 до 4294967295"), qPrintable(error));
        QCOMPARE(Read(path), text);
        QVERIFY(!SerialCounter(Path("no-counter")).Take(&error));
        QVERIFY2(error.contains("не открывается"), qPrintable(error));
    }

    void summaryCounts() {
        const QString path = Path("summary.jsonl");
        Journal journal;
        QString error;
        QVERIFY(journal.Open(path, &error));
        for (const JournalRecord& record :
             {Record(0, 1), Record(5, 4, "write"), Record(0, 2), Record(5, 3, "verify"),
              Record(3, 10, "connect"), Record(0, 6)})
            QVERIFY(journal.Append(record, &error));
        Add(path, "{\"hello\":1}\n");
        const JournalSummary summary = *SummarizeJournal(path, &error);
        QCOMPARE(summary.Passed, 3);
        QCOMPARE(summary.FailedByStatus, (std::map<int, int>{{3, 1}, {5, 2}}));
        QCOMPARE(summary.FailedByPhase.at("verify"), 1);
        QCOMPARE(*summary.MedianSeconds, 3.5);
        QCOMPARE(*summary.SlowestSeconds, 10.0);
        QCOMPARE(summary.Images.size(), 1u);
        QCOMPARE(summary.Images[0].Failed, 3);
        const QJsonObject json = JournalSummaryJson(summary);
        QCOMPARE(json.value("yield").toDouble(), 0.5);
        QCOMPARE(json.value("skipped")[0]["line"].toInt(), 7);
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
