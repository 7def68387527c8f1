#pragma once
// Shared by the wizard window and its panels: the pixel layout of the
// window's template, the data roles of its trees and list, and small
// conversions.

#include <QRect>
#include <QString>

#include <cstdint>
#include <string>

namespace qvx::ui::layout {

inline constexpr int kWindowWidth = 790;
inline constexpr int kWindowHeight = 600;
inline constexpr int kBannerHeight = 96;
inline constexpr int kMinimumWidth = 790;
inline constexpr int kMinimumHeight = 520;
inline constexpr QRect kTreeRect(25, 174, 225, 254);  // left 25, top 174, right 250, bottom 428
inline constexpr QRect kListRect(265, 174, 505, 254);
inline constexpr int kRowA = 438;  // first row of controls under the panels
inline constexpr int kRowB = 468;  // second row

// Data roles of the left-panel folder tree and the file list.
inline constexpr int kItemIdRole = Qt::UserRole;       // tree: the model's item id
inline constexpr int kImageRole = Qt::UserRole + 1;    // tree: the item's image index
inline constexpr int kRowFolderRole = Qt::UserRole;    // list: the row is a folder
inline constexpr int kRowItemRole = Qt::UserRole + 1;  // list: a folder row's tree item
inline constexpr int kRowSizeRole = Qt::UserRole + 2;  // list: the size in bytes
inline constexpr int kRowDeletedRole = Qt::UserRole + 3;  // list: the row is deleted

/// Names are UTF-8 as the engine carries them.
inline QString nameText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string nameBytes(const QString& s) {
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

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
