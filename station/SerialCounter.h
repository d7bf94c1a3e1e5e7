// The serial number counter of a production line: a file holding the next number as decimal
// text, shared by every station of the line.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace ktr {

class SerialCounter {
public:
    explicit SerialCounter(QString path) : path_(std::move(path)) {}

    // Returns the next number once the file holds the one after it, written and synced to
    // disk: a number is never handed out twice, even across a crash or by two stations.
    // nullopt with a Russian error when the file is missing, holds anything but a number in
    // 0..4294967295, or holds 4294967295 (the file could not name a next number).
    std::optional<uint32_t> Take(QString* error);

    const QString& Path() const { return path_; }

private:
    QString Failed(const QString& what, int error) const;

    QString path_;
};

} // namespace ktr
