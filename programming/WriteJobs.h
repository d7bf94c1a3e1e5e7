// The FLASH and EEPROM images: a file becomes a memory image, the image a write pass and a
// verify pass of block commands behind whatever is queued, or a refusal that says why. Every
// file ends by announcing Accepted or Refused. The jobs that follow the passes to their
// outcome (Job.h) take their files here.
#pragma once

#include "HexImage.h"
#include "LinkEvents.h"

#include <QObject>
#include <QString>

namespace ktr {

class LinkControl;

enum class JobRefusal {
    NoFile,         // no path, or nothing at it (the FLASH job ends quietly)
    NotRegularFile, // a directory, a device node, a FIFO
    CannotOpen,     // the system refused; SystemText says why
    Empty,          // empty HEX text (the reader ends quietly)
    FormatError,    // Line names the first bad record
    NoEndRecord,    // HEX text without an end-of-file record (the reader ends quietly)
    TooLarge,       // Size bytes (at least) against a Limit
    OutOfMemory,    // the image or its commands could not be had
    CannotWrite,    // a read's file could not be written; SystemText says why
};

struct JobRefused {
    Memory Target = Memory::Flash;
    QString Path;
    JobRefusal Reason = JobRefusal::NoFile;
    int64_t Line = 0;
    uint64_t Size = 0, Limit = 0;
    QString SystemText;
};

// How jobs treat their files. The window keeps the defaults; the command line asks for more.
struct JobRules {
    enum class Format { ByExtension, Hex, Raw };
    Format ImageFormat = Format::ByExtension; // ByExtension: ".HEX" FLASH, ".EEP" EEPROM
    bool RefuseEmpty = false;                 // an image without bytes is refused as Empty
    bool EepromUpToCapacity = false;          // an EEPROM image may fill the whole area
    // A block found differing is verified again in halves down to its first differing byte.
    bool NarrowMismatch = false;
};

struct JobAccepted {
    Memory Target = Memory::Flash;
    QString Path;
    bool Write = true;       // false: the verify pass alone
    uint64_t ImageBytes = 0; // image size
    uint64_t Blocks = 0;     // entries queued, both passes
};

class WriteJobs : public QObject {
    Q_OBJECT
public:
    explicit WriteJobs(LinkControl& link) : link_(link) {}

    // The buttons beside Edit1 and Edit2: the write job of the field's file, with a start line.
    void Button1Click(const QString& edit1Text);
    void Button2Click(const QString& edit2Text);

    // A missing FLASH file ends the job quietly; an EEPROM file that cannot be opened (and
    // a FLASH file present but unreadable) is shown through the view's error report.
    // True when the file was accepted and its passes queued (an empty EEPROM image queues
    // nothing); false when it was refused, whether or not a line said why. Either way the
    // job has announced its outcome before it returns. An image above kMaxImageBytes is
    // refused as too large whatever the device reports, and so is one whose memory cannot be
    // had: a job that ran out of memory half-way drops the whole queue, as a mismatch does.
    bool WriteFlashFile(const QString& path);
    bool WriteEepromFile(const QString& path);
    // The verify pass alone: the device is compared with the bytes the file defines (a HEX
    // file's holes are not compared, so a file verifies the same in any run) and nothing is
    // written. Blocks then follow the defined runs and may count fewer than 256 bytes.
    bool VerifyFlashFile(const QString& path);
    bool VerifyEepromFile(const QString& path);

    void SetRules(const JobRules& rules) { rules_ = rules; }
    const JobRules& Rules() const { return rules_; }
    LinkControl& Link() const { return link_; }

    FillRandomState Fill; // one per program run, shared by every HEX read

signals:
    void Accepted(const ktr::JobAccepted& job);
    void Refused(const ktr::JobRefused& job);

private:
    // Reads the file into image, or reports why not; false leaves nothing to queue.
    bool LoadImage(const QString& path, Memory target, std::vector<uint8_t>& image,
                   std::vector<ByteSpan>& defined);
    // One job: a missing FLASH file ends it quietly; write false queues the verify pass only.
    bool RunJob(const QString& path, Memory target, bool write);
    bool Refuse(JobRefused refusal);
    bool OutOfMemory(const QString& path, Memory target, size_t queuedBefore);

    LinkControl& link_;
    JobRules rules_;
};

} // namespace ktr
