// Writing and verifying images, or verifying them alone: the files are taken in order (a
// refused one leaves none of the job queued), then every block is followed to its answer.
// A block the device finds differing is, under the rules' NarrowMismatch, verified again in
// halves until its first differing byte is known.
#pragma once

#include "Job.h"

namespace ktr {

struct ImageFile {
    Memory Target = Memory::Flash; // FLASH or EEPROM
    QString Path;
};

class ImageJob : public Job {
    Q_OBJECT
public:
    // write false: the verify pass alone. The files are read by files' rules.
    ImageJob(WriteJobs& files, std::vector<ImageFile> images, bool write);

    // A write logs each file's start line first, as the window's buttons do.
    void Start() override;

    // The start line of a write of target.
    static QString StartLine(Memory target);

private:
    void Count(uint8_t command) override;
    void Answered() override;
    void Dropped() override;
    std::vector<MemoryLeft> Left() const override { return left_; }
    void Mismatch(Memory memory, uint32_t address);
    void ProbeNext();

    WriteJobs& files_;
    std::vector<ImageFile> images_;
    bool write_;
    bool starting_ = false;
    std::vector<MemoryLeft> left_;

    // The differing block, narrowed by verifying halves of it.
    struct Probe {
        Memory Target = Memory::Flash;
        uint8_t Command = 0;
        uint32_t Start = 0;         // the block's address
        std::vector<uint8_t> Data;  // its bytes
        uint32_t Low = 0, High = 0; // the first difference lies in [Low, High)
        uint32_t Mid = 0;           // the probe in flight covers [Low, Mid)
        uint64_t Serial = 0;        // its entry
        bool InFlight = false;
        bool Confirmed = false; // a probe has differed too
    };
    std::optional<Probe> probe_;
};

} // namespace ktr
