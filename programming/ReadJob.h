// Reading EEPROM or AUX areas into files, the whole area as the device reports its size. The
// answers land in a window of kReadWindowBytes that goes to the file once it is complete, so
// memory stays small whatever the area; each file is written beside its name and takes the
// name only when every area is in.
#pragma once

#include "Job.h"

#include <QSaveFile>

#include <memory>

namespace ktr {

constexpr uint32_t kReadWindowBytes = 64 * 1024;

struct ReadArea {
    Memory Target = Memory::Eeprom; // EEPROM or AUX
    QString Path;
};

class ReadJob : public Job {
    Q_OBJECT
public:
    ReadJob(LinkControl& link, std::vector<ReadArea> areas);
    ~ReadJob() override;

    // Refused as TooLarge (Size, Limit) for an area claimed above kMaxImageBytes, and as
    // CannotWrite when a file cannot be opened or written. An empty area gives an empty file.
    void Start() override;

private:
    struct Area {
        ReadArea File;
        uint32_t Size = 0;
        uint32_t Done = 0; // bytes already in the file
        std::unique_ptr<QSaveFile> Out;
    };
    void Answered() override;
    void QueueWindow();
    void Refuse(const Area& area, JobRefusal reason, const QString& why);

    std::vector<ReadArea> files_;
    std::vector<Area> areas_;
    size_t current_ = 0;          // the area whose window is in flight
    std::vector<uint8_t> window_; // where that window's answers land
};

// The file a device's area is read into when several are read at once: pattern with {bus},
// {dev} and {name} filled in. A name comes from the device and may hold anything: in it a
// '/', '\\' or control character becomes '_', so it never leads out of the pattern's folder.
QString ReadFilePath(const QString& pattern, int bus, int device, const QString& name);

} // namespace ktr
