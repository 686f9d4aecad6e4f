#include "window/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace parlon {

namespace {

// value * numerator / denominator, rounded to the nearest integer.
int ScaleRounded(int value, int numerator, int denominator) noexcept {
    return (value * numerator * 2 + denominator) / (denominator * 2);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    static const QString kAlphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    // The average over upper and lower case, rounded half up.
    m_baseWidth = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
    m_baseHeight = metrics.height();
}

int DialogUnits::X(int units) const noexcept {
    return ScaleRounded(units, m_baseWidth, 4);
}

int DialogUnits::Y(int units) const noexcept {
    return ScaleRounded(units, m_baseHeight, 8);
}

QRect DialogUnits::Rect(int left, int top, int width, int height) const noexcept {
    return {X(left), Y(top), X(width), Y(height)};
}

int DialogUnits::ScaledPixels(int referencePixels) const noexcept {
    return ScaleRounded(referencePixels, m_baseWidth, kReferenceBaseWidth);
}

}  // namespace parlon
