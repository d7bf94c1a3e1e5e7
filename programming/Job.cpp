#include "Job.h"

#include "LinkControl.h"

#include <algorithm>
#include <cmath>

namespace ktr {

QString RateText(double bytesPerSecond) {
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 МБ/с").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
    if (bytesPerSecond >= 1024.0)
        return QStringLiteral("%1 КБ/с").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 Б/с").arg(qint64(bytesPerSecond));
}

QString TimeLeftText(double seconds) {
    if (seconds < 0) return QStringLiteral("осталось —");
    const qint64 s = qint64(std::ceil(seconds));
    if (s >= 3600)
        return QStringLiteral("осталось %1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("осталось %1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

int64_t JobProgress::Percent() const {
    return TotalBlocks > 0 ? int64_t(std::min<uint64_t>(DoneBlocks * 100 / TotalBlocks, 100)) : 100;
}

QString JobProgress::Text() const {
    return QStringLiteral("Выполнено %1%: %2 из %3 блоков, %4, %5")
        .arg(Percent())
        .arg(DoneBlocks)
        .arg(TotalBlocks)
        .arg(RateText(BytesPerSecond), TimeLeftText(SecondsLeft));
}

QString JobProgress::Bar(int width) const {
    constexpr int kBarMinWidth = 10, kBarMaxWidth = 30;
    constexpr int kRateChars = 11;     // "1023.9 КБ/с"
    constexpr int kTimeLeftChars = 16; // "осталось 9:59:59"
    const int64_t percent = Percent();
    const QString share = QStringLiteral("%1%").arg(percent, 3);
    const QString blocks = QStringLiteral("%1 из %2 блоков")
                               .arg(DoneBlocks, int(QString::number(TotalBlocks).size()))
                               .arg(TotalBlocks);
    const QString rate = RateText(BytesPerSecond).rightJustified(kRateChars);
    const QString left = TimeLeftText(SecondsLeft);
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

QJsonObject JobProgress::ToJson() const {
    return {{QStringLiteral("done_blocks"), qint64(DoneBlocks)},
            {QStringLiteral("total_blocks"), qint64(TotalBlocks)},
            {QStringLiteral("done_bytes"), qint64(DoneBytes)},
            {QStringLiteral("total_bytes"), qint64(TotalBytes)},
            {QStringLiteral("bytes_per_second"), std::round(BytesPerSecond)},
            {QStringLiteral("seconds_left"),
             SecondsLeft < 0 ? QJsonValue() : QJsonValue(std::round(SecondsLeft))}};
}

Job::Job(LinkControl& link) : link_(link) {
    connect(&link, &LinkControl::EntryRetired, this, &Job::Retired);
    connect(&link, &LinkControl::QueueCleared, this, [this] {
        if (finished_ || owned_.empty()) return;
        owned_.clear();
        Dropped();
    });
}

Job::~Job() = default;

void Job::Expect(uint64_t blocks, uint64_t bytes) {
    progress_.TotalBlocks += blocks;
    progress_.TotalBytes += bytes;
}

void Job::Own(uint64_t first, bool addToTotal) {
    // The queue's tail from first on, in order.
    auto from = link_.Queue().end();
    while (from != link_.Queue().begin() && std::prev(from)->Serial >= first)
        --from;
    for (; from != link_.Queue().end(); ++from) {
        owned_.push_back({from->Serial, from->BlockCount(), from->Command});
        if (addToTotal) Expect(1, from->BlockCount());
    }
}

void Job::Begin() {
    clock_.start();
    emit Started(progress_);
}

bool Job::Owns(uint64_t serial) const {
    return !owned_.empty() && serial >= owned_.front().Serial && serial <= owned_.back().Serial;
}

// Entries are answered in queue order, so the job's next one is always the first it owns.
void Job::Retired(uint64_t serial) {
    if (finished_ || owned_.empty() || owned_.front().Serial != serial) return;
    const Owned entry = owned_.front();
    owned_.pop_front();
    ++progress_.DoneBlocks;
    progress_.DoneBytes += entry.Count;
    if (const double seconds = double(clock_.nsecsElapsed()) / 1e9; seconds > 0) {
        progress_.BytesPerSecond = double(progress_.DoneBytes) / seconds;
        const uint64_t left =
            progress_.TotalBytes - std::min(progress_.DoneBytes, progress_.TotalBytes);
        progress_.SecondsLeft =
            progress_.BytesPerSecond > 0 ? double(left) / progress_.BytesPerSecond : -1;
    }
    Count(entry.Command);
    emit Progress(progress_);
    if (!finished_) Answered();
}

void Job::Abort(JobEnd end) {
    Finish({end});
}

void Job::Finish(JobOutcome outcome) {
    if (finished_) return;
    finished_ = true;
    if (outcome.End != JobEnd::Refused) outcome.Left = Left();
    emit Finished(outcome);
}

} // namespace ktr
