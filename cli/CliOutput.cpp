#include "CliOutput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QList>

#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ktr::cli {

namespace {

constexpr int kBarRedrawMs = 100;
constexpr int kDefaultColumns = 80;
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

const CommandDevice* CliOutput::Row(int device) const {
    return devices_ && device >= 0 ? &(*devices_)[size_t(device)] : nullptr;
}

QString CliOutput::Prefix(int device) const {
    const CommandDevice* row = Row(device);
    if (!row) return {};
    return row->Name.isEmpty() ? QStringLiteral("[%1] ").arg(row->Address.Text())
                               : QStringLiteral("[%1 %2] ").arg(row->Address.Text(), row->Name);
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
    if (const CommandDevice* row = Row(device)) {
        fields.insert(QStringLiteral("bus_dev"), row->Address.Text());
        if (!row->Name.isEmpty() && !fields.contains(QStringLiteral("name")))
            fields.insert(QStringLiteral("name"), row->Name);
    }
    out_.write(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void CliOutput::Step(const QString& text, int device, const QString& event) {
    if (look_.Quiet) return;
    if (look_.Json) return JsonEvent(event, {{"text", text}}, device);
    TextLine(text, device);
}

void CliOutput::Log(const QString& line, int device) {
    if (look_.Quiet) return;
    if (look_.Json) return JsonEvent(QStringLiteral("log"), {{"text", line}}, device);
    if (look_.Verbose) TextLine(line, device);
}

void CliOutput::Data(const QString& event, const QString& text, QJsonObject fields, int device) {
    if (look_.Json) return JsonEvent(event, std::move(fields), device);
    TextLine(text, device);
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
    int64_t& last = lastSteps_[Row(device) ? device + 1 : 0];
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
    DrawBar(Row(device) ? DevicesProgressText(*devices_, width) : p.Bar(width));
}

void CliOutput::DeviceResult(const QString& command, int device) {
    const CommandDevice* row = Row(device);
    if (!row) return;
    if (barShown_) DrawBar(DevicesProgressText(*devices_, UsableColumns(look_.Columns)));
    if (look_.Json) {
        QJsonObject fields = row->ToJson(command);
        fields.remove(QStringLiteral("name")); // the event's own, once known
        return JsonEvent(QStringLiteral("device_result"), fields, device);
    }
    if (row->Result->Status != 0 || !look_.Quiet) TextLine(row->Outcome(), device);
}

int CliOutput::Result(const QString& command, const Verdict& verdict, const QJsonObject& extra) {
    const int status = verdict.Status;
    const QString& message = verdict.Message;
    if (barShown_) {
        out_.write("\n");
        barShown_ = false;
    }
    if (status != 0) err_.write("ktr-cli: " + Printable(message).toUtf8() + '\n');
    if (look_.Json) {
        QJsonObject fields{{"command", command}, {"status", status}, {"message", message}};
        for (auto field = extra.begin(); field != extra.end(); ++field)
            fields.insert(field.key(), field.value());
        if (!verdict.Partial.isEmpty()) fields.insert(QStringLiteral("partial"), verdict.Partial);
        if (devices_) {
            QJsonArray rows;
            for (const CommandDevice& device : *devices_)
                rows.append(device.ToJson(command));
            fields.insert(QStringLiteral("devices"), rows);
            fields.insert(QStringLiteral("failed"),
                          QJsonArray::fromStringList(FailedDevices(*devices_)));
        }
        JsonEvent(QStringLiteral("result"), fields);
        return status;
    }
    if (devices_) {
        QList<QStringList> table{{QStringLiteral("Устройство"), QStringLiteral("Имя"),
                                  QStringLiteral("Команда"), QStringLiteral("Результат"),
                                  QStringLiteral("Время")}};
        for (const CommandDevice& device : *devices_)
            table.append(
                {device.Address.Text(), Printable(device.Name), command,
                 device.Result ? Printable(device.Outcome()) : QStringLiteral("не завершено"),
                 QStringLiteral("%1 с").arg(device.Seconds, 0, 'f', 1)});
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
    return status;
}

} // namespace ktr::cli
