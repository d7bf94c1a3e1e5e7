// A job is one run of an operation on the device (write and verify images, verify them, read
// areas into files), made for that run. It queues its blocks behind whatever is queued and
// follows its own entries by their serials: Accepted for each file taken, Started once all is
// queued, Progress as its entries are answered, and exactly one Finished whose outcome is
// data. The link control sends and retires; a job never sends anything itself.
#pragma once

#include "WriteJobs.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>

#include <deque>
#include <vector>

namespace ktr {

enum class JobEnd {
    Done,      // every block answered as asked
    Refused,   // a file was refused (Refusal); nothing of the job is left queued
    Mismatch,  // the device differs from the image (Difference); the queue was dropped
    LinkLost,  // the caller gave up on the link
    Cancelled, // the caller ended it, or the queue was dropped under it
};

struct JobProgress {
    uint64_t DoneBlocks = 0, TotalBlocks = 0;
    uint64_t DoneBytes = 0, TotalBytes = 0;
    double BytesPerSecond = 0; // since Started; 0 until something is done
    double SecondsLeft = -1;   // at that rate; -1: not known yet

    // Of the blocks answered; 100 for a job of none.
    int64_t Percent() const;
    // "Выполнено 40%: 12 из 30 блоков, 1.2 КБ/с, осталось 0:10"
    QString Text() const;
    // "[####......] 40% 12 из 30 блоков, 1.2 КБ/с, осталось 0:10" in at most width columns:
    // figures are dropped, the bar kept at one length, rather than the line grows.
    QString Bar(int width) const;
    // As an event's fields: done and total blocks and bytes, the rate and the time left.
    QJsonObject ToJson() const;
};

// "1023.9 КБ/с"
QString RateText(double bytesPerSecond);
// "осталось 9:59:59", "осталось —" when not known
QString TimeLeftText(double seconds);

// Where a verify found the device differing from the image.
struct JobMismatch {
    Memory Target = Memory::Flash;
    // The first differing byte when Narrowed; else the address of the block found differing.
    uint32_t Address = 0;
    bool Narrowed = false;
    // False when no part of the block differed on a second look.
    bool Repeated = true;
};

// What a job left in one memory: blocks of each pass answered, of how many.
struct MemoryLeft {
    Memory Target = Memory::Flash;
    uint64_t BlocksWritten = 0, WriteBlocks = 0;
    uint64_t BlocksVerified = 0, VerifyBlocks = 0;
};

struct JobOutcome {
    JobEnd End = JobEnd::Done;
    JobRefused Refusal;           // Refused
    JobMismatch Difference;       // Mismatch
    std::vector<MemoryLeft> Left; // one per memory the job wrote or verified
};

class Job : public QObject {
    Q_OBJECT
public:
    ~Job() override;

    // Takes the files and queues the blocks; a refusal finishes the job before it returns.
    virtual void Start() = 0;
    // Ends a job that has not finished with end (LinkLost or Cancelled) and what it left.
    // Its entries still queued stay queued: the caller closes or clears the link.
    void Abort(JobEnd end);
    bool IsFinished() const { return finished_; }

signals:
    void Accepted(const ktr::JobAccepted& part); // each file taken, in order
    void Started(const ktr::JobProgress& progress);
    void Progress(const ktr::JobProgress& progress);
    void Finished(const ktr::JobOutcome& outcome);

protected:
    explicit Job(LinkControl& link);

    // The entries queued from serial first up to now are the job's: each one answered counts
    // a block, and its Count in bytes, towards the progress. Their blocks and bytes are added
    // to the total unless the job said it beforehand.
    void Own(uint64_t first, bool addToTotal = true);
    void Expect(uint64_t blocks, uint64_t bytes);
    // Announces Started with everything owned so far.
    void Begin();
    // Ends the job, once: what it left is added from Left().
    void Finish(JobOutcome outcome);
    // An owned entry of command was answered: first counted, then (once the progress says
    // so) acted upon.
    virtual void Count(uint8_t) {}
    virtual void Answered() = 0;
    // Its entries not yet answered were dropped from the queue.
    virtual void Dropped() { Finish({JobEnd::Cancelled}); }
    virtual std::vector<MemoryLeft> Left() const { return {}; }
    bool Owns(uint64_t serial) const;
    bool Waiting() const { return !owned_.empty(); }

    LinkControl& link_;

private:
    struct Owned {
        uint64_t Serial;
        uint16_t Count;
        uint8_t Command;
    };
    void Retired(uint64_t serial);

    std::deque<Owned> owned_; // queued and not yet answered, in queue order
    JobProgress progress_;
    QElapsedTimer clock_; // from Started
    bool finished_ = false;
};

} // namespace ktr

Q_DECLARE_METATYPE(ktr::JobProgress)
Q_DECLARE_METATYPE(ktr::JobOutcome)
