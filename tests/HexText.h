// Test images and their Intel HEX text, written the way common tools write it.
#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <vector>

inline std::vector<uint8_t> RandomBytes(size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& x : b)
        x = uint8_t(QRandomGenerator::global()->generate());
    return b;
}

// Intel HEX with 32-byte records and extended linear address records where needed.
inline QByteArray ToHex(const std::vector<uint8_t>& image) {
    QByteArray text;
    auto record = [&](uint8_t type, uint16_t address, const uint8_t* data, int count) {
        uint8_t sum = uint8_t(count + (address >> 8) + address + type);
        QByteArray line = QByteArray(":") + QByteArray::number(count, 16).rightJustified(2, '0') +
                          QByteArray::number(address, 16).rightJustified(4, '0') +
                          QByteArray::number(type, 16).rightJustified(2, '0');
        for (int i = 0; i < count; ++i) {
            line += QByteArray::number(data[i], 16).rightJustified(2, '0');
            sum = uint8_t(sum + data[i]);
        }
        text += line.toUpper() +
                QByteArray::number(uint8_t(-sum), 16).rightJustified(2, '0').toUpper() + "\r\n";
    };
    for (size_t at = 0; at < image.size(); at += 32) {
        if (at % 0x10000 == 0 && at > 0) {
            const uint8_t upper[2] = {uint8_t(at >> 24), uint8_t(at >> 16)};
            record(0x04, 0, upper, 2);
        }
        record(0x00, uint16_t(at), image.data() + at, int(std::min<size_t>(32, image.size() - at)));
    }
    record(0x01, 0, nullptr, 0);
    return text;
}
