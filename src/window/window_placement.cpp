#include "window/window_placement.h"

#include <QDir>
#include <QLockFile>
#include <algorithm>

namespace parlon {

namespace {

// Positions this close count as the same: the user could not tell the windows apart.
constexpr int kSamePositionPixels = 4;

bool IsTaken(QPoint position, const QList<QPoint>& taken) {
    return std::ranges::any_of(taken, [position](QPoint other) {
        return (other - position).manhattanLength() <= kSamePositionPixels;
    });
}

}  // namespace

QPoint CascadePosition(QPoint anchor, QSize size, const QList<QPoint>& taken,
                       const QRect& available) {
    const QPoint step(kCascadeStep, kCascadeStep);
    QPoint rowStart = anchor;
    QPoint position = anchor + step;
    for (int tried = 0; tried < 256; ++tried) {
        if (!available.contains(QRect(position, size))) {
            // Off the bottom or right edge: a new column of the cascade, from the anchor's row.
            rowStart += QPoint(kCascadeStep, 0);
            position = rowStart + step;
            if (!available.contains(QRect(position, size))) {
                break;  // no room left anywhere: give up on the cascade
            }
        }
        if (!IsTaken(position, taken)) {
            return position;
        }
        position += step;
    }
    return anchor + step;
}

InstanceSlot::InstanceSlot(const QString& directory) {
    if (directory.isEmpty()) {
        return;  // no runtime directory: the first slot, and no lock files where they do not belong
    }
    QDir().mkpath(directory);
    for (int index = 0; index < kSlots; ++index) {
        auto lock = std::make_unique<QLockFile>(
            QDir(directory).filePath(QStringLiteral("parlon-window-%1.lock").arg(index)));
        if (lock->tryLock(0)) {
            m_lock = std::move(lock);
            m_index = index;
            return;
        }
    }
    m_index = kSlots;  // more instances than slots: they share the last place
}

InstanceSlot::~InstanceSlot() = default;

QPoint InstanceSlot::MainWindowPosition(QSize size, const QRect& available) const {
    const QPoint centred = available.center() - QPoint(size.width() / 2, size.height() / 2);
    const QPoint moved = centred + QPoint(kCascadeStep, kCascadeStep) * m_index;
    // Kept on the screen: a window pushed off it comes back to the top left corner.
    if (!available.contains(QRect(moved, size))) {
        return available.topLeft() + QPoint(kCascadeStep, kCascadeStep) * (m_index % 8);
    }
    return moved;
}

}  // namespace parlon
