#include "window/parlon_icon.h"

namespace parlon {

QIcon ParlonIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/parlon/parlon-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace parlon
