#pragma once
// Shared by the two source files of the wizard window: the pixel layout of
// the fixed-size window and small conversions.

#include <QRect>
#include <QString>

#include <cstdint>
#include <string>

namespace qvx::ui::layout {

inline constexpr int kWindowWidth = 790;
inline constexpr int kWindowHeight = 600;
inline constexpr int kBannerHeight = 96;
inline constexpr QRect kTreeRect(25, 174, 225, 254);  // left 25, top 174, right 250, bottom 428
inline constexpr QRect kListRect(265, 174, 505, 254);
inline constexpr int kRowA = 438;  // first row of controls under the panels
inline constexpr int kRowB = 468;  // second row

inline QString q(const std::string& s) { return QString::fromStdString(s); }

/// A whole decimal number that fits a signed 32-bit value (leading and
/// trailing blanks allowed).
inline bool readInt32(const QString& text, std::int32_t& out) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok) return false;
    out = value;
    return true;
}

}  // namespace qvx::ui::layout
