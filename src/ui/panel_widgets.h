#pragma once
// Makers of the wizard's recurring controls: a text on the panel colour, a
// text button and a picture button of the toolbar, placed where the
// window's template puts them.

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include "ui/pictures.h"

class QWidget;

namespace qvx::ui {

class CBtn;
class CColorStatic;

CColorStatic* panelStatic(const QString& text, QWidget* parent, QRect geometry);
CBtn* textButton(const QString& text, const QString& tip, QWidget* parent, QPoint at, QSize size,
                 bool warning = false);
CBtn* toolButton(pictures::Tool tool, const QString& tip, QWidget* parent, QPoint at, int side = 42);
/// Gives a check box or radio the panel's colours.
void usePanelColours(QWidget* w);

}  // namespace qvx::ui
