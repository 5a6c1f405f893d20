#include "platform/ui/twips.h"

#include <cmath>

namespace ui {

int TwipsToPixels(double twips) { return static_cast<int>(std::lround(twips / kTwipsPerPixel)); }

}  // namespace ui
