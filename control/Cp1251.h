// The device's texts are in code page 1251; Qt 6 itself converts only Unicode and Latin-1.
#pragma once

#include <QByteArray>
#include <QString>

namespace ktr {

QString FromCp1251(const uint8_t* bytes, int size);
// Characters with no place in the code page become '?'.
QByteArray ToCp1251(const QString& text);

} // namespace ktr
