#include "Job.h"

#include "LinkControl.h"

#include <cmath>

namespace ktr {

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
