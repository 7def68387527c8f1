#include "ui/panel_widgets.h"

#include <QPalette>

#include "ui/controls.h"

namespace qvx::ui {

CColorStatic* panelStatic(const QString& text, QWidget* parent, QRect geometry) {
    auto* s = new CColorStatic(text, parent);
    s->setBackgroundColor(panelColor());
    s->setGeometry(geometry);
    return s;
}

CBtn* textButton(const QString& text, const QString& tip, QWidget* parent, QPoint at, QSize size, bool warning) {
    auto* b = new CBtn(text, parent);
    b->setFaces(pictures::buttonFace(size, false, warning), pictures::buttonFace(size, true, warning));
    b->setToolTip(tip);
    b->move(at);
    return b;
}

CBtn* toolButton(pictures::Tool tool, const QString& tip, QWidget* parent, QPoint at, int side) {
    auto* b = new CBtn(QString(), parent);
    b->setFaces(pictures::toolFace(tool, side, false), pictures::toolFace(tool, side, true));
    b->setToolTip(tip);
    // A picture alone says nothing to a screen reader.
    b->setAccessibleName(tip);
    b->move(at);
    return b;
}

void usePanelColours(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, panelColor());
    p.setColor(QPalette::WindowText, panelTextColor());
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

}  // namespace qvx::ui
