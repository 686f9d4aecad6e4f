// Where the program's windows open, so that no window opens exactly on top of another one:
// message windows cascade from the main window, and a second (third ...) instance of the
// program opens its main window a step further down and right than the one before.
//
// GUI thread only.
#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <memory>

class QLockFile;

namespace parlon {

// The distance between two cascaded windows, in pixels each way.
inline constexpr int kCascadeStep = 28;

// The first of anchor + k * (kCascadeStep, kCascadeStep), k = 1, 2, ..., that no position of
// `taken` is within a few pixels of and where a window of `size` lies inside `available`; when
// the cascade reaches the edge of `available` it starts again a step right of the anchor's row.
QPoint CascadePosition(QPoint anchor, QSize size, const QList<QPoint>& taken,
                       const QRect& available);

// The number of this instance of the program among those the user runs now: 0 for the first.
// Held as a lock file in `directory` for the life of the object (a crashed instance's lock
// counts as free again). Without a directory (the platform has no runtime directory) it is 0.
class InstanceSlot {
  public:
    static constexpr int kSlots = 16;

    explicit InstanceSlot(const QString& directory);
    ~InstanceSlot();
    InstanceSlot(const InstanceSlot&) = delete;
    InstanceSlot& operator=(const InstanceSlot&) = delete;

    int Index() const noexcept { return m_index; }
    // Where a main window of `size` opens in `available`: centred, moved on by the slot's steps.
    QPoint MainWindowPosition(QSize size, const QRect& available) const;

  private:
    std::unique_ptr<QLockFile> m_lock;
    int m_index = 0;
};

}  // namespace parlon
