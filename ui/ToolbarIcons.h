// The toolbar's pictures, drawn as vectors so that they stay crisp at any screen density.
#pragma once

#include <QIcon>

namespace ktr {

// The icon of an image index of the toolbar's list: 18 connect (link closed), 19 connect
// (link open), 20 disconnect (link open), 21 disconnect (link closed). Other indices give a
// null icon.
QIcon ToolbarIcon(int imageIndex);

} // namespace ktr
