// DialogUnits: converts the font-relative dialog units in which the windows are drawn up into
// pixels for the font a widget actually uses, so that the layout grows with the font and
// nothing is clipped.
//
// One horizontal unit is a quarter of the font's average character width (measured over the
// 52 letters of the Latin alphabet), one vertical unit an eighth of its line height.
//
// A plain value; any thread may use it, but it is made from a widget's font on the GUI thread.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace parlon {

class DialogUnits {
  public:
    // The average character width of the font the window layouts were drawn up with; widths
    // given in that font's pixels (the list view columns) are scaled by BaseWidth() / this.
    static constexpr int kReferenceBaseWidth = 6;

    explicit DialogUnits(const QFont& font);

    int BaseWidth() const noexcept { return m_baseWidth; }
    int BaseHeight() const noexcept { return m_baseHeight; }

    int X(int units) const noexcept;
    int Y(int units) const noexcept;
    QSize Size(int width, int height) const noexcept { return {X(width), Y(height)}; }
    QRect Rect(int left, int top, int width, int height) const noexcept;

    // A width given in pixels of the reference font, in pixels of this font.
    int ScaledPixels(int referencePixels) const noexcept;

  private:
    int m_baseWidth;
    int m_baseHeight;
};

}  // namespace parlon
