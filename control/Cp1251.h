// The device's texts are in code page 1251; Qt 6 itself converts only Unicode and Latin-1.
#pragma once

#include <QString>

#include <cstdint>

namespace ktr {

QString FromCp1251(const uint8_t* bytes, int size);

} // namespace ktr
