// The program's icon, in every size it ships in, from the resources linked into the window
// library. GUI thread only (a QIcon is made from pixmaps).
#pragma once

#include <QIcon>

namespace parlon {

QIcon ParlonIcon();

}  // namespace parlon
