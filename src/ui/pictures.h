#pragma once
// The program's pictures, drawn once at start-up: the banner, the splash,
// the button faces, the toolbar glyphs and the small tree icons.

#include <QPixmap>
#include <QSize>

namespace qvx::ui::pictures {

enum class Tool { Save, LoadLog, SaveLog, Help, Exit, About, Refresh };
enum class TreeIcon { Computer, Disk, Partition, Folder, FileSystem };

QPixmap banner(QSize size);
QPixmap splash(QSize size);
/// Face of a text button (Next, Back, Search More Partitions, ...).
QPixmap buttonFace(QSize size, bool hover, bool warning = false);
/// Face of a toolbar button: a rounded tile with the tool's glyph.
QPixmap toolFace(Tool tool, int side, bool hover);
QPixmap treeIcon(TreeIcon icon);
QPixmap appIcon(int side);

}  // namespace qvx::ui::pictures
