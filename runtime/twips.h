// The windows are laid out in twips, 1440 to the inch: 15 to a logical pixel at 96 dots per inch.
#pragma once

#include <QRect>

namespace miruteka {

constexpr int twipsPerPixel = 15;

constexpr QRect twips(int left, int top, int width, int height)
{
    return { left / twipsPerPixel, top / twipsPerPixel, width / twipsPerPixel,
        height / twipsPerPixel };
}

} // namespace miruteka
