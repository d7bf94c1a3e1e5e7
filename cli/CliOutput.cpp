#include "CliOutput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QList>

#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ktr::cli {

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
QString DevicesBar(const std::vector<CommandDevice>& devices, int width) {
    QStringList entries;
    int64_t sum = 0;
    int done = 0, failed = 0;
    for (const CommandDevice& device : devices) {
        const int status = device.Result ? device.Result->Status : -1;
        const QString state = status < 0    ? QStringLiteral("%1%").arg(device.Percent)
                              : status == 0 ? QStringLiteral("готово")
                                            : QStringLiteral("сбой");
        entries << device.Address.Text() + QLatin1Char(' ') + state;
        sum += status < 0 ? device.Percent : 100;
        done += status == 0;
        failed += status > 0;
    }
    const QString all = entries.join(QStringLiteral("  "));
    if (all.size() <= width) return all;
    const qsizetype count = qsizetype(devices.size());
    const int64_t overall = count == 0 ? 100 : sum / count;
    const QString summary = QStringLiteral("%1%, устройств %2: готово %3, сбой %4")
                                .arg(overall)
                                .arg(count)
                                .arg(done)
                                .arg(failed);
    if (summary.size() <= width) return summary;
    return QStringLiteral("%1% %2/%3").arg(overall).arg(done + failed).arg(count).left(width);
}

// What a device's row and event say of its outcome.
QString Outcome(const Verdict& verdict) {
    return verdict.Message.isEmpty() && verdict.Status == 0 ? QStringLiteral("готово")
                                                            : verdict.Message;
}

QJsonObject WithPartial(QJsonObject fields, const Verdict& verdict) {
    if (!verdict.Partial.isEmpty() && !fields.contains(QStringLiteral("partial")))
        fields.insert(QStringLiteral("partial"), verdict.Partial);
    return fields;
}

QString Seconds(double seconds) {
    return QStringLiteral("%1 с").arg(seconds, 0, 'f', 1);
}

} // namespace

CliOutput::CliOutput(QIODevice& out, QIODevice& err, Style style)
    : out_(out), err_(err), look_(style) {}

void CliOutput::SetDevices(const std::vector<CommandDevice>* devices) {
    devices_ = devices;
    lastSteps_.fill(-1, devices ? qsizetype(devices->size()) + 1 : 1);
}

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

QString CliOutput::Prefix(int device) const {
    if (device < 0) return {};
    const CommandDevice& row = (*devices_)[size_t(device)];
    return row.Name.isEmpty() ? QStringLiteral("[%1] ").arg(row.Address.Text())
                              : QStringLiteral("[%1 %2] ").arg(row.Address.Text(), row.Name);
}

void CliOutput::TextLine(const QString& text, int device) {
    if (barShown_) out_.write(kEraseLine);
    const QString prefix = Prefix(device);
    for (const QString& line : text.split(QLatin1Char('\n')))
        out_.write(Printable(prefix + line).toUtf8() + '\n');
    if (barShown_) out_.write(bar_);
}

void CliOutput::JsonEvent(const QString& event, QJsonObject fields, int device) {
    fields.insert(QStringLiteral("event"), event);
    if (device >= 0) {
        const CommandDevice& row = (*devices_)[size_t(device)];
        fields.insert(QStringLiteral("bus_dev"), row.Address.Text());
        if (!row.Name.isEmpty() && !fields.contains(QStringLiteral("name")))
            fields.insert(QStringLiteral("name"), row.Name);
    }
    out_.write(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void CliOutput::Step(const QString& text, int device) {
    if (look_.Quiet) return;
    if (look_.Json) return JsonEvent(QStringLiteral("step"), {{"text", text}}, device);
    TextLine(text, device);
}

void CliOutput::Log(const QString& line, int device) {
    if (look_.Quiet) return;
    if (look_.Json) return JsonEvent(QStringLiteral("log"), {{"text", line}}, device);
    if (look_.Verbose) TextLine(line, device);
}

void CliOutput::Note(const QString& text, int device) {
    if (look_.Quiet) return;
    if (look_.Json) return JsonEvent(QStringLiteral("note"), {{"text", text}}, device);
    TextLine(text, device);
}

void CliOutput::Data(const QString& event, const QString& text, QJsonObject fields, int device) {
    if (look_.Json) return JsonEvent(event, std::move(fields), device);
    TextLine(text, device);
}

bool CliOutput::IsTerminal() const {
    return look_.Terminal;
}

void CliOutput::Board(const QStringList& lines, bool bell) {
    QByteArray drawn = bell ? QByteArrayLiteral("\a") : QByteArray();
    if (boardLines_ > 0) drawn += "\033[" + QByteArray::number(boardLines_) + 'A';
    for (const QString& line : lines)
        drawn += kEraseLine + Printable(line).toUtf8() + '\n';
    boardLines_ = lines.size();
    out_.write(drawn);
}

void CliOutput::DrawBar(const QString& bar) {
    barClock_.start();
    bar_ = kEraseLine + bar.toUtf8();
    out_.write(bar_);
    barShown_ = true;
}

void CliOutput::ShowProgress(const JobProgress& p, int device) {
    if (look_.Quiet) return;
    const int64_t percent = p.Percent();
    int64_t& last = lastSteps_[device + 1];
    if (look_.Json) {
        if (percent == std::exchange(last, percent)) return;
        return JsonEvent(QStringLiteral("progress"), p.ToJson(), device);
    }
    if (!look_.Terminal) {
        if (percent / 10 == std::exchange(last, percent / 10)) return;
        return TextLine(p.Text(), device);
    }
    const bool finished = p.DoneBlocks >= p.TotalBlocks;
    if (barShown_ && !finished && barClock_.isValid() && barClock_.elapsed() < kBarRedrawMs) return;
    const int width = UsableColumns(look_.Columns);
    DrawBar(device < 0 ? SingleBar(p, width) : DevicesBar(*devices_, width));
}

void CliOutput::DeviceResult(const QString& command, int device) {
    const CommandDevice& row = (*devices_)[size_t(device)];
    const Verdict& verdict = *row.Result;
    if (barShown_) DrawBar(DevicesBar(*devices_, UsableColumns(look_.Columns)));
    if (look_.Json)
        return JsonEvent(QStringLiteral("device_result"),
                         WithPartial({{"command", command},
                                      {"status", verdict.Status},
                                      {"message", Outcome(verdict)},
                                      {"seconds", std::round(row.Seconds * 10) / 10}},
                                     verdict),
                         device);
    if (verdict.Status != 0 || !look_.Quiet) TextLine(Outcome(verdict), device);
}

void CliOutput::Result(const QString& command, int status, const QString& message,
                       const QJsonObject& extra) {
    if (barShown_) {
        out_.write("\n");
        barShown_ = false;
    }
    const std::vector<CommandDevice> none;
    const std::vector<CommandDevice>& devices = devices_ ? *devices_ : none;
    if (status != 0) err_.write("ktr-cli: " + Printable(message).toUtf8() + '\n');
    if (look_.Json) {
        QJsonObject fields{{"command", command}, {"status", status}, {"message", message}};
        for (auto field = extra.begin(); field != extra.end(); ++field)
            fields.insert(field.key(), field.value());
        if (devices_) {
            QJsonArray rows;
            for (const CommandDevice& device : devices) {
                const Verdict verdict = device.Result.value_or(Verdict{-1, {}, {}});
                rows.append(WithPartial({{"bus_dev", device.Address.Text()},
                                         {"name", device.Name},
                                         {"command", command},
                                         {"status", verdict.Status},
                                         {"message", device.Result ? Outcome(verdict) : QString()},
                                         {"seconds", std::round(device.Seconds * 10) / 10}},
                                        verdict));
            }
            fields.insert(QStringLiteral("devices"), rows);
            fields.insert(QStringLiteral("failed"),
                          QJsonArray::fromStringList(FailedDevices(devices)));
        }
        return JsonEvent(QStringLiteral("result"), fields);
    }
    if (devices_) {
        QList<QStringList> table{{QStringLiteral("Устройство"), QStringLiteral("Имя"),
                                  QStringLiteral("Команда"), QStringLiteral("Результат"),
                                  QStringLiteral("Время")}};
        for (const CommandDevice& device : devices)
            table.append({device.Address.Text(), Printable(device.Name), command,
                          device.Result ? Printable(Outcome(*device.Result))
                                        : QStringLiteral("не завершено"),
                          Seconds(device.Seconds)});
        QList<qsizetype> widths(table[0].size(), 0);
        for (const QStringList& cells : table)
            for (qsizetype i = 0; i < cells.size(); ++i)
                widths[i] = std::max(widths[i], cells[i].size());
        for (const QStringList& cells : table) {
            QString line;
            for (qsizetype i = 0; i + 1 < cells.size(); ++i)
                line += cells[i].leftJustified(widths[i] + 2);
            out_.write((line + cells.last()).toUtf8() + '\n');
        }
    }
    if (status == 0 && !look_.Quiet && !message.isEmpty()) TextLine(message);
}

} // namespace ktr::cli
