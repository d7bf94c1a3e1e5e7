#include "CliOutput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QList>

#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ktr::cli {

namespace {
struct DeviceRow {
    QString Device, Name, Command, Message;
    int Status = -1; // -1 while the device is still at work
    int64_t Percent = 0;
    double Seconds = 0;
    QJsonObject Extra; // more fields of its result
};
} // namespace

// Streams, bar and rows, shared by the program's output and its devices' outputs.
struct CliOutput::Shared {
    Shared(QIODevice& out, QIODevice& err, Style style) : Out(out), Err(err), Look(style) {}
    QIODevice& Out;
    QIODevice& Err;
    const Style Look;
    bool BarShown = false;
    QByteArray Bar; // the bar as last drawn, redrawn under every line printed beneath it
    QElapsedTimer BarClock;
    QList<DeviceRow> Rows;
    qsizetype BoardLines = 0; // of the board last drawn
};

namespace {

constexpr int kBarMinWidth = 10;
constexpr int kBarMaxWidth = 30;
constexpr int kBarRedrawMs = 100;
constexpr int kDefaultColumns = 80;
constexpr int kRateChars = 11;     // "1023.9 КБ/с"
constexpr int kTimeLeftChars = 16; // "осталось 9:59:59"
const QByteArray kEraseLine = QByteArrayLiteral("\r\033[K");

// The last column is left empty: a line that fills it wraps on some terminals.
int UsableColumns(int configured) {
    int columns = configured;
    if (columns <= 0) {
        winsize size{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            columns = size.ws_col;
        else if (bool ok = false; (columns = qEnvironmentVariableIntValue("COLUMNS", &ok)), !ok)
            columns = kDefaultColumns;
    }
    return std::max(0, columns - 1);
}

// One device's bar in width columns: the figures go first, then the bar itself.
QString SingleBar(const JobProgress& p, int width) {
    const int64_t percent = p.Percent();
    const QString share = QStringLiteral("%1%").arg(percent, 3);
    const QString blocks = QStringLiteral("%1 из %2 блоков")
                               .arg(p.DoneBlocks, int(QString::number(p.TotalBlocks).size()))
                               .arg(p.TotalBlocks);
    const QString rate = RateText(p.BytesPerSecond).rightJustified(kRateChars);
    const QString left = TimeLeftText(p.SecondsLeft);
    // The time left is measured at its widest, so that the bar keeps its length.
    const qsizetype leftSlack = std::max<qsizetype>(0, kTimeLeftChars - left.size());
    const std::pair<QString, qsizetype> tails[] = {
        {QStringLiteral("%1 %2, %3, %4").arg(share, blocks, rate, left), leftSlack},
        {QStringLiteral("%1 %2, %3").arg(share, rate, left), leftSlack},
        {QStringLiteral("%1 %2").arg(share, left), leftSlack},
        {share, 0},
    };
    for (const auto& [tail, slack] : tails) {
        const int barWidth = std::min<int>(kBarMaxWidth, width - int(tail.size() + slack) - 3);
        if (barWidth < kBarMinWidth) continue;
        const int filled = int(percent * barWidth / 100);
        return QStringLiteral("[%1%2] %3")
            .arg(QString(filled, QLatin1Char('#')), QString(barWidth - filled, QLatin1Char('.')),
                 tail);
    }
    const QString bare = tails[2].first.trimmed();
    return bare.size() <= width ? bare : share.trimmed().left(width);
}

// Every device's share on one line; a summary when they do not fit.
QString DevicesBar(const QList<DeviceRow>& rows, int width) {
    QStringList entries;
    int64_t sum = 0;
    int done = 0, failed = 0;
    for (const auto& row : rows) {
        const QString state = row.Status < 0    ? QStringLiteral("%1%").arg(row.Percent)
                              : row.Status == 0 ? QStringLiteral("готово")
                                                : QStringLiteral("сбой");
        entries << row.Device + QLatin1Char(' ') + state;
        sum += row.Status < 0 ? row.Percent : 100;
        done += row.Status == 0;
        failed += row.Status > 0;
    }
    const QString all = entries.join(QStringLiteral("  "));
    if (all.size() <= width) return all;
    const int64_t overall = rows.isEmpty() ? 100 : sum / rows.size();
    const QString summary = QStringLiteral("%1%, устройств %2: готово %3, сбой %4")
                                .arg(overall)
                                .arg(rows.size())
                                .arg(done)
                                .arg(failed);
    if (summary.size() <= width) return summary;
    return QStringLiteral("%1% %2/%3").arg(overall).arg(done + failed).arg(rows.size()).left(width);
}

QString Seconds(double seconds) {
    return QStringLiteral("%1 с").arg(seconds, 0, 'f', 1);
}

} // namespace

CliOutput::CliOutput(QIODevice& out, QIODevice& err, Style style)
    : shared_(std::make_shared<Shared>(out, err, style)) {}

CliOutput::CliOutput(CliOutput& program, const QString& device) : shared_(program.shared_) {
    clock_.start();
    row_ = int(shared_->Rows.size());
    DeviceRow row;
    row.Device = device;
    shared_->Rows.append(row);
}

CliOutput::~CliOutput() = default;

QString CliOutput::Printable(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7F && u < 0xA0);
        // Direction overrides and isolates make a line read otherwise than it is.
        const bool direction = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
        if (!control && !direction) {
            shown += c;
        } else if (u == 0x1B) {
            shown += QStringLiteral("\\e");
        } else if (u == '\t' || u == '\r' || u == '\n') {
            shown += QLatin1String(u == '\t' ? "\\t" : u == '\r' ? "\\r" : "\\n");
        } else {
            shown += direction ? QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'))
                               : QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        }
    }
    return shown;
}

QString CliOutput::Prefix() const {
    if (row_ < 0) return {};
    const DeviceRow& row = shared_->Rows[row_];
    return row.Name.isEmpty() ? QStringLiteral("[%1] ").arg(row.Device)
                              : QStringLiteral("[%1 %2] ").arg(row.Device, row.Name);
}

void CliOutput::TextLine(const QString& text) {
    Shared& s = *shared_;
    if (s.BarShown) s.Out.write(kEraseLine);
    const QString prefix = Prefix();
    for (const QString& line : text.split(QLatin1Char('\n')))
        s.Out.write(Printable(prefix + line).toUtf8() + '\n');
    if (s.BarShown) s.Out.write(s.Bar);
}

void CliOutput::JsonEvent(const QString& event, QJsonObject fields) {
    fields.insert(QStringLiteral("event"), event);
    if (row_ >= 0) {
        const DeviceRow& row = shared_->Rows[row_];
        fields.insert(QStringLiteral("bus_dev"), row.Device);
        if (!row.Name.isEmpty() && !fields.contains(QStringLiteral("name")))
            fields.insert(QStringLiteral("name"), row.Name);
    }
    shared_->Out.write(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void CliOutput::SetDeviceName(const QString& name) {
    if (row_ < 0) return;
    shared_->Rows[row_].Name = name;
}

void CliOutput::Step(const QString& text) {
    if (shared_->Look.Quiet) return;
    if (shared_->Look.Json) return JsonEvent(QStringLiteral("step"), {{"text", text}});
    TextLine(text);
}

void CliOutput::Log(const QString& line) {
    const Style& look = shared_->Look;
    if (look.Quiet) return;
    if (look.Json) return JsonEvent(QStringLiteral("log"), {{"text", line}});
    if (look.Verbose) TextLine(line);
}

void CliOutput::Note(const QString& text) {
    if (shared_->Look.Quiet) return;
    if (shared_->Look.Json) return JsonEvent(QStringLiteral("note"), {{"text", text}});
    TextLine(text);
}

void CliOutput::Data(const QString& event, const QString& text, QJsonObject fields) {
    if (shared_->Look.Json) return JsonEvent(event, std::move(fields));
    TextLine(text);
}

bool CliOutput::IsTerminal() const {
    return shared_->Look.Terminal;
}

void CliOutput::Board(const QStringList& lines, bool bell) {
    Shared& s = *shared_;
    QByteArray drawn = bell ? QByteArrayLiteral("\a") : QByteArray();
    if (s.BoardLines > 0) drawn += "\033[" + QByteArray::number(s.BoardLines) + 'A';
    for (const QString& line : lines)
        drawn += kEraseLine + Printable(line).toUtf8() + '\n';
    s.BoardLines = lines.size();
    s.Out.write(drawn);
}

void CliOutput::ShowProgress(const JobProgress& p) {
    Shared& s = *shared_;
    if (s.Look.Quiet) return;
    const int64_t percent = p.Percent();
    if (row_ >= 0) s.Rows[row_].Percent = percent;
    if (s.Look.Json) {
        if (percent == lastStep_) return;
        lastStep_ = percent;
        return JsonEvent(QStringLiteral("progress"), p.ToJson());
    }
    if (!s.Look.Terminal) {
        if (percent / 10 == lastStep_) return;
        lastStep_ = percent / 10;
        return TextLine(p.Text());
    }
    const bool finished = p.DoneBlocks >= p.TotalBlocks;
    if (s.BarShown && !finished && s.BarClock.isValid() && s.BarClock.elapsed() < kBarRedrawMs)
        return;
    s.BarClock.start();
    const int width = UsableColumns(s.Look.Columns);
    s.Bar = kEraseLine + (row_ < 0 ? SingleBar(p, width) : DevicesBar(s.Rows, width)).toUtf8();
    s.Out.write(s.Bar);
    s.BarShown = true;
}

void CliOutput::Result(const QString& command, int status, const QString& message,
                       const QJsonObject& extra) {
    if (row_ >= 0) return DeviceOutcome(command, status, message, extra);
    Shared& s = *shared_;
    if (s.BarShown) {
        s.Out.write("\n");
        s.BarShown = false;
    }
    QJsonArray devices, failed;
    for (const DeviceRow& row : s.Rows) {
        QJsonObject device{
            {"bus_dev", row.Device},  {"name", row.Name},
            {"command", row.Command}, {"status", row.Status},
            {"message", row.Message}, {"seconds", std::round(row.Seconds * 10) / 10}};
        for (auto field = row.Extra.begin(); field != row.Extra.end(); ++field)
            if (!device.contains(field.key())) device.insert(field.key(), field.value());
        devices.append(device);
        if (row.Status != 0) failed.append(row.Device);
    }
    if (status != 0) s.Err.write("ktr-cli: " + Printable(message).toUtf8() + '\n');
    if (s.Look.Json) {
        QJsonObject fields{{"command", command}, {"status", status}, {"message", message}};
        for (auto field = extra.begin(); field != extra.end(); ++field)
            fields.insert(field.key(), field.value());
        if (!s.Rows.isEmpty()) {
            fields.insert(QStringLiteral("devices"), devices);
            fields.insert(QStringLiteral("failed"), failed);
        }
        return JsonEvent(QStringLiteral("result"), fields);
    }
    if (!s.Rows.isEmpty()) {
        QList<QStringList> table{{QStringLiteral("Устройство"), QStringLiteral("Имя"),
                                  QStringLiteral("Команда"), QStringLiteral("Результат"),
                                  QStringLiteral("Время")}};
        for (const DeviceRow& row : s.Rows)
            table.append({row.Device, Printable(row.Name), row.Command,
                          row.Status < 0 ? QStringLiteral("не завершено") : Printable(row.Message),
                          Seconds(row.Seconds)});
        QList<qsizetype> widths(table[0].size(), 0);
        for (const QStringList& cells : table)
            for (qsizetype i = 0; i < cells.size(); ++i)
                widths[i] = std::max(widths[i], cells[i].size());
        for (const QStringList& cells : table) {
            QString line;
            for (qsizetype i = 0; i + 1 < cells.size(); ++i)
                line += cells[i].leftJustified(widths[i] + 2);
            s.Out.write((line + cells.last()).toUtf8() + '\n');
        }
    }
    if (status == 0 && !s.Look.Quiet && !message.isEmpty()) TextLine(message);
}

void CliOutput::DeviceOutcome(const QString& command, int status, const QString& message,
                              const QJsonObject& extra) {
    Shared& s = *shared_;
    DeviceRow& row = s.Rows[row_];
    row.Extra = extra;
    row.Command = command;
    row.Status = status;
    row.Message = message.isEmpty() && status == 0 ? QStringLiteral("готово") : message;
    row.Seconds = double(clock_.nsecsElapsed()) / 1e9;
    if (s.BarShown) {
        s.Bar = kEraseLine + DevicesBar(s.Rows, UsableColumns(s.Look.Columns)).toUtf8();
        s.Out.write(s.Bar);
    }
    if (s.Look.Json) {
        QJsonObject fields = extra;
        fields.insert(QStringLiteral("command"), command);
        fields.insert(QStringLiteral("status"), status);
        fields.insert(QStringLiteral("message"), row.Message);
        fields.insert(QStringLiteral("seconds"), std::round(row.Seconds * 10) / 10);
        return JsonEvent(QStringLiteral("device_result"), fields);
    }
    if (status != 0 || !s.Look.Quiet) TextLine(row.Message);
}

int CliOutput::WorstDeviceStatus() const {
    int worst = 0;
    for (const DeviceRow& row : shared_->Rows)
        worst = std::max(worst, row.Status);
    return worst;
}

} // namespace ktr::cli
