#include "ui/pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace qvx::ui::pictures {

namespace {

const QColor kDeep(23, 63, 130);
const QColor kMid(52, 110, 190);
const QColor kLight(214, 228, 248);

QPixmap blank(QSize size) {
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    return pm;
}

/// The product mark: a disk platter with a magnifier.
void drawMark(QPainter& p, QRectF r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const double s = r.width();
    QRectF disk(r.left(), r.top() + s * 0.05, s * 0.8, s * 0.8);
    QRadialGradient g(disk.center(), disk.width() / 2);
    g.setColorAt(0, QColor(250, 252, 255));
    g.setColorAt(1, QColor(170, 190, 220));
    p.setPen(QPen(QColor(255, 255, 255), s * 0.04));
    p.setBrush(g);
    p.drawEllipse(disk);
    p.setBrush(kDeep);
    p.setPen(Qt::NoPen);
    p.drawEllipse(disk.center(), s * 0.08, s * 0.08);
    const QPointF c(r.left() + s * 0.62, r.top() + s * 0.6);
    p.setPen(QPen(QColor(255, 190, 40), s * 0.07));
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawEllipse(c, s * 0.18, s * 0.18);
    p.setPen(QPen(QColor(255, 190, 40), s * 0.11, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + QPointF(s * 0.13, s * 0.13), c + QPointF(s * 0.32, s * 0.32));
    p.restore();
}

void drawGlyph(QPainter& p, Tool tool, QRectF r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const double s = r.width();
    auto at = [&](double x, double y) { return QPointF(r.left() + x * s, r.top() + y * s); };
    QPen pen(Qt::white, s * 0.08, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    switch (tool) {
    case Tool::Save: {  // a floppy disk
        QPainterPath body;
        body.moveTo(at(0.15, 0.12));
        body.lineTo(at(0.72, 0.12));
        body.lineTo(at(0.87, 0.27));
        body.lineTo(at(0.87, 0.88));
        body.lineTo(at(0.15, 0.88));
        body.closeSubpath();
        p.drawPath(body);
        p.drawRect(QRectF(at(0.3, 0.12), at(0.66, 0.36)));
        p.drawRect(QRectF(at(0.28, 0.56), at(0.74, 0.88)));
        break;
    }
    case Tool::LoadLog: {  // an open folder with an arrow out of it
        QPainterPath f;
        f.moveTo(at(0.1, 0.85));
        f.lineTo(at(0.1, 0.3));
        f.lineTo(at(0.35, 0.3));
        f.lineTo(at(0.42, 0.4));
        f.lineTo(at(0.85, 0.4));
        f.lineTo(at(0.85, 0.85));
        f.closeSubpath();
        p.drawPath(f);
        p.drawLine(at(0.55, 0.72), at(0.55, 0.08));
        p.drawLine(at(0.42, 0.2), at(0.55, 0.08));
        p.drawLine(at(0.68, 0.2), at(0.55, 0.08));
        break;
    }
    case Tool::SaveLog: {  // a page with lines and a down arrow
        p.drawRect(QRectF(at(0.18, 0.1), at(0.7, 0.9)));
        p.drawLine(at(0.3, 0.3), at(0.58, 0.3));
        p.drawLine(at(0.3, 0.48), at(0.58, 0.48));
        p.drawLine(at(0.82, 0.45), at(0.82, 0.9));
        p.drawLine(at(0.7, 0.78), at(0.82, 0.9));
        p.drawLine(at(0.94, 0.78), at(0.82, 0.9));
        break;
    }
    case Tool::Help: {
        QFont f("DejaVu Sans");
        f.setPixelSize(static_cast<int>(s * 0.8));
        f.setBold(true);
        p.setFont(f);
        p.drawText(r, Qt::AlignCenter, "?");
        break;
    }
    case Tool::Exit: {  // a power symbol
        p.drawArc(QRectF(at(0.18, 0.2), at(0.82, 0.84)), 120 * 16, 300 * 16);
        p.drawLine(at(0.5, 0.1), at(0.5, 0.48));
        break;
    }
    case Tool::About: {
        p.drawEllipse(QRectF(at(0.12, 0.12), at(0.88, 0.88)));
        p.drawLine(at(0.5, 0.45), at(0.5, 0.72));
        p.setBrush(Qt::white);
        p.drawEllipse(at(0.5, 0.3), s * 0.03, s * 0.03);
        break;
    }
    case Tool::Refresh: {  // two arrows around a circle
        const QRectF c(at(0.2, 0.2), at(0.8, 0.8));
        p.drawArc(c, 30 * 16, 150 * 16);
        p.drawArc(c, 210 * 16, 150 * 16);
        p.drawLine(at(0.16, 0.5), at(0.08, 0.38));
        p.drawLine(at(0.16, 0.5), at(0.28, 0.4));
        p.drawLine(at(0.84, 0.5), at(0.92, 0.62));
        p.drawLine(at(0.84, 0.5), at(0.72, 0.6));
        break;
    }
    }
    p.restore();
}

}  // namespace

QPixmap banner(QSize size) {
    QPixmap pm = blank(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, size.width(), 0);
    g.setColorAt(0, kDeep);
    g.setColorAt(1, kMid);
    p.fillRect(pm.rect(), g);
    // A soft wave across the bottom edge.
    QPainterPath wave;
    wave.moveTo(0, size.height());
    wave.cubicTo(size.width() * 0.3, size.height() * 0.55, size.width() * 0.6, size.height() * 1.1, size.width(),
                 size.height() * 0.6);
    wave.lineTo(size.width(), size.height());
    wave.closeSubpath();
    p.fillPath(wave, QColor(255, 255, 255, 30));
    const int h = size.height();
    drawMark(p, QRectF(18, h * 0.14, h * 0.72, h * 0.72));
    QFont title("DejaVu Sans");
    title.setPixelSize(h * 30 / 96);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(h * 0.72 + 34, h * 0.12, size.width(), h * 0.45), Qt::AlignLeft | Qt::AlignVCenter,
               "QVX - NTFS Recovery");
    QFont sub("DejaVu Sans");
    sub.setPixelSize(h * 13 / 96);
    p.setFont(sub);
    p.setPen(kLight);
    p.drawText(QRectF(h * 0.72 + 36, h * 0.56, size.width(), h * 0.3), Qt::AlignLeft | Qt::AlignVCenter,
               "Recovers files and folders from NTFS, FAT16 and FAT32 volumes");
    return pm;
}

QPixmap splash(QSize size) {
    QPixmap pm = blank(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, size.height());
    g.setColorAt(0, kMid);
    g.setColorAt(1, kDeep);
    p.fillRect(pm.rect(), g);
    const int side = size.height() * 45 / 100;
    drawMark(p, QRectF((size.width() - side) / 2.0, size.height() * 0.1, side, side));
    QFont title("DejaVu Sans");
    title.setPixelSize(size.height() / 9);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, size.height() * 0.6, size.width(), size.height() * 0.16), Qt::AlignCenter,
               "QVX - NTFS Recovery");
    QFont sub("DejaVu Sans");
    sub.setPixelSize(size.height() / 22);
    p.setFont(sub);
    p.setPen(kLight);
    p.drawText(QRectF(0, size.height() * 0.76, size.width(), size.height() * 0.1), Qt::AlignCenter,
               "Read-only recovery for NTFS, FAT16 and FAT32");
    p.setPen(QPen(QColor(255, 255, 255, 120), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1));
    return pm;
}

QPixmap buttonFace(QSize size, bool hover, bool warning) {
    QPixmap pm = blank(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, size.height());
    if (warning) {
        g.setColorAt(0, hover ? QColor(255, 214, 200) : QColor(250, 226, 218));
        g.setColorAt(1, hover ? QColor(236, 150, 128) : QColor(228, 170, 152));
    } else {
        g.setColorAt(0, hover ? QColor(255, 255, 255) : QColor(250, 252, 255));
        g.setColorAt(1, hover ? QColor(176, 206, 246) : QColor(206, 220, 240));
    }
    p.setPen(QPen(hover ? kMid : QColor(120, 144, 180), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1), 4, 4);
    return pm;
}

QPixmap toolFace(Tool tool, int side, bool hover) {
    QPixmap pm = blank(QSize(side, side));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, side);
    g.setColorAt(0, hover ? QColor(88, 150, 230) : kMid);
    g.setColorAt(1, hover ? kMid : kDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1, 1, side - 2, side - 2), side / 6.0, side / 6.0);
    drawGlyph(p, tool, QRectF(side * 0.22, side * 0.22, side * 0.56, side * 0.56));
    return pm;
}

QPixmap treeIcon(TreeIcon icon) {
    QPixmap pm = blank(QSize(16, 16));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (icon) {
    case TreeIcon::Computer:
        p.setPen(QPen(kDeep, 1));
        p.setBrush(kLight);
        p.drawRect(QRectF(1.5, 2.5, 13, 9));
        p.setBrush(kMid);
        p.drawRect(QRectF(3.5, 4.5, 9, 5));
        p.drawLine(QPointF(8, 11.5), QPointF(8, 13.5));
        p.drawLine(QPointF(4, 14.5), QPointF(12, 14.5));
        break;
    case TreeIcon::Disk:
        p.setPen(QPen(QColor(70, 70, 80), 1));
        p.setBrush(QColor(200, 204, 212));
        p.drawRoundedRect(QRectF(1.5, 4.5, 13, 8), 2, 2);
        p.setBrush(QColor(40, 200, 60));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(12, 10), 1.2, 1.2);
        p.setPen(QPen(QColor(120, 120, 130), 1));
        p.drawLine(QPointF(3.5, 8.5), QPointF(9.5, 8.5));
        break;
    case TreeIcon::Partition:
        p.setPen(QPen(kDeep, 1));
        p.setBrush(kLight);
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setBrush(kMid);
        p.drawPie(QRectF(1.5, 1.5, 13, 13), 90 * 16, 100 * 16);
        break;
    case TreeIcon::Folder:
        p.setPen(QPen(QColor(176, 128, 20), 1));
        p.setBrush(QColor(250, 212, 100));
        p.drawRect(QRectF(1.5, 4.5, 13, 9));
        p.drawRect(QRectF(1.5, 2.5, 5, 2));
        break;
    case TreeIcon::FileSystem:
        p.setPen(QPen(kDeep, 1));
        p.setBrush(kLight);
        p.drawRect(QRectF(2.5, 1.5, 11, 13));
        p.drawLine(QPointF(4.5, 5.5), QPointF(11.5, 5.5));
        p.drawLine(QPointF(4.5, 8.5), QPointF(11.5, 8.5));
        p.drawLine(QPointF(4.5, 11.5), QPointF(9.5, 11.5));
        break;
    }
    return pm;
}

QPixmap appIcon(int side) {
    QPixmap pm = blank(QSize(side, side));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kDeep);
    p.drawRoundedRect(QRectF(0, 0, side, side), side / 6.0, side / 6.0);
    drawMark(p, QRectF(side * 0.1, side * 0.1, side * 0.8, side * 0.8));
    return pm;
}

}  // namespace qvx::ui::pictures
