#pragma once
// The program's pictures from the compiled-in resources, each rendered for 1x, 1.5x and 2x screens
// (scripts/render-art). QIcon hands out the rendering with the pixels a use needs, scaling only
// between renderings, and marks its device pixel ratio.
#include <QIcon>

namespace res {

// The program icon IDR_MAINFRAME, every rendered size in one icon.
QIcon LoadMainIcon();

// The banner bitmap IDB_BANNER.
QIcon LoadBanner();

} // namespace res
