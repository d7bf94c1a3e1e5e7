// The FLASH and EEPROM write jobs: a file becomes a memory image, the image a write pass
// and a verify pass of block commands behind whatever is queued. A job only queues; the link
// control sends, retires and reports.
#pragma once

#include "HexImage.h"

#include <QString>

namespace ktr {

class LinkControl;

class WriteJobs {
public:
    explicit WriteJobs(LinkControl& link) : link_(link) {}

    // The buttons beside Edit1 and Edit2: a start line, then the job with the field's text.
    void Button1Click(const QString& edit1Text);
    void Button2Click(const QString& edit2Text);

    // A missing FLASH file ends the job quietly; an EEPROM file that cannot be opened (and
    // a FLASH file present but unreadable) is shown through the view's error report.
    // True when the file was accepted and its passes queued (an empty EEPROM image queues
    // nothing); false when it was refused, whether or not a line said why.
    // An image above kMaxImageBytes is refused as too large whatever the device reports, and
    // so is one whose memory cannot be had (dropping whatever of it was already queued).
    bool WriteFlashFile(const QString& path);
    bool WriteEepromFile(const QString& path);
    // The verify pass alone, the same in every other way: the device is compared with the
    // file and nothing is written.
    bool VerifyFlashFile(const QString& path);
    bool VerifyEepromFile(const QString& path);

    FillRandomState Fill; // one per program run, shared by every HEX read

private:
    enum class ImageKind { Flash, Eeprom };
    // Reads the file into image, or reports why not; false leaves nothing to queue.
    bool LoadImage(const QString& path, ImageKind kind, std::vector<uint8_t>& image);
    // One job: a missing FLASH file ends it quietly; write false queues the verify pass only.
    bool RunJob(const QString& path, ImageKind kind, bool write);
    bool OutOfMemory(size_t queuedBefore);
    void QueuePass(uint8_t command, const std::vector<uint8_t>& image, uint64_t start,
                   uint64_t stride);

    LinkControl& link_;
};

} // namespace ktr
