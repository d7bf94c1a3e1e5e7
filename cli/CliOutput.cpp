#include "CliOutput.h"

#include <QJsonDocument>

#include <cmath>

namespace ktr::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr int kBarRedrawMs = 100;

QString Rate(double bytesPerSecond) {
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 МБ/с").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
    if (bytesPerSecond >= 1024.0)
        return QStringLiteral("%1 КБ/с").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 Б/с").arg(qint64(bytesPerSecond));
}

QString TimeLeft(double seconds) {
    if (seconds < 0) return QStringLiteral("осталось —");
    const qint64 s = qint64(std::ceil(seconds));
    if (s >= 3600)
        return QStringLiteral("осталось %1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("осталось %1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString Figures(const Progress& p) {
    return QStringLiteral("%1 из %2 блоков, %3, %4")
        .arg(p.DoneBlocks)
        .arg(p.TotalBlocks)
        .arg(Rate(p.BytesPerSecond), TimeLeft(p.SecondsLeft));
}

int64_t Percent(const Progress& p) {
    return p.TotalBlocks > 0 ? p.DoneBlocks * 100 / p.TotalBlocks : 100;
}

} // namespace

CliOutput::CliOutput(QIODevice& out, QIODevice& err, Style style)
    : out_(out), err_(err), style_(style) {}

void CliOutput::Line(const QByteArray& bytes) {
    out_.write(bytes);
    out_.write("\n");
    if (barShown_) out_.write(bar_);
}

void CliOutput::ClearBar() {
    if (barShown_) out_.write("\r\033[K");
}

void CliOutput::Json(const QString& event, QJsonObject fields) {
    fields.insert(QStringLiteral("event"), event);
    Line(QJsonDocument(fields).toJson(QJsonDocument::Compact));
}

void CliOutput::Log(const QString& line) {
    if (style_.Quiet) return;
    if (style_.Json) return Json(QStringLiteral("log"), {{QStringLiteral("text"), line}});
    ClearBar();
    Line(line.toUtf8());
}

void CliOutput::ShowProgress(const Progress& p) {
    if (style_.Quiet) return;
    const int64_t percent = Percent(p);
    if (style_.Json) {
        if (percent == lastStep_) return;
        lastStep_ = percent;
        return Json(QStringLiteral("progress"),
                    {{QStringLiteral("done_blocks"), qint64(p.DoneBlocks)},
                     {QStringLiteral("total_blocks"), qint64(p.TotalBlocks)},
                     {QStringLiteral("done_bytes"), qint64(p.DoneBytes)},
                     {QStringLiteral("total_bytes"), qint64(p.TotalBytes)},
                     {QStringLiteral("bytes_per_second"), std::round(p.BytesPerSecond)},
                     {QStringLiteral("seconds_left"),
                      p.SecondsLeft < 0 ? QJsonValue() : QJsonValue(std::round(p.SecondsLeft))}});
    }
    const bool finished = p.DoneBlocks >= p.TotalBlocks;
    if (!style_.Terminal) {
        if (percent / 10 == lastStep_) return;
        lastStep_ = percent / 10;
        return Line(QStringLiteral("Выполнено %1%: %2").arg(percent).arg(Figures(p)).toUtf8());
    }
    if (barShown_ && !finished && barClock_.isValid() && barClock_.elapsed() < kBarRedrawMs) return;
    barClock_.start();
    const int filled = int(percent * kBarWidth / 100);
    bar_ =
        QStringLiteral("\r\033[K[%1%2] %3% %4")
            .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char('.')))
            .arg(percent, 3)
            .arg(Figures(p))
            .toUtf8();
    out_.write(bar_);
    barShown_ = true;
}

void CliOutput::Data(const QString& event, const QString& text, QJsonObject fields) {
    if (style_.Json) return Json(event, std::move(fields));
    ClearBar();
    Line(text.toUtf8());
}

void CliOutput::Note(const QString& text) {
    if (style_.Quiet) return;
    if (style_.Json) return Json(QStringLiteral("note"), {{QStringLiteral("text"), text}});
    ClearBar();
    Line(text.toUtf8());
}

void CliOutput::Result(const QString& command, int status, const QString& message) {
    if (barShown_) {
        out_.write("\n");
        barShown_ = false;
    }
    if (status != 0) err_.write(QStringLiteral("ktr-cli: %1\n").arg(message).toUtf8());
    if (style_.Json)
        Json(QStringLiteral("result"), {{QStringLiteral("command"), command},
                                        {QStringLiteral("status"), status},
                                        {QStringLiteral("message"), message}});
    else if (status == 0 && !style_.Quiet && !message.isEmpty())
        Line(message.toUtf8());
}

} // namespace ktr::cli
