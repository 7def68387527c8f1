#include "ui/controls.h"

#include <QApplication>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

#include <cmath>

namespace qvx::ui {

QColor fromColorRef(unsigned colorRef) {
    return QColor(static_cast<int>(colorRef & 0xFF), static_cast<int>((colorRef >> 8) & 0xFF),
                  static_cast<int>((colorRef >> 16) & 0xFF));
}

bool darkScheme() {
    const QPalette pal = QApplication::palette();
    return pal.color(QPalette::Window).lightness() < 128 && pal.color(QPalette::WindowText).lightness() > 128;
}

QColor panelColor() { return darkScheme() ? QApplication::palette().color(QPalette::Window) : fromColorRef(0xFAF4F1); }

QColor panelTextColor() {
    return darkScheme() ? QApplication::palette().color(QPalette::WindowText) : QColor(0, 0, 0);
}

// ---------------------------------------------------------------- CBtn

CBtn::CBtn(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::TabFocus);
}

void CBtn::setFaces(const QPixmap& normal, const QPixmap& hover) {
    m_normal = normal;
    m_hover = hover;
    const QSize size = normal.deviceIndependentSize().toSize();
    if (!size.isEmpty()) setFixedSize(size);
    update();
}

void CBtn::setTextColors(const QColor& normal, const QColor& pressed) {
    m_textNormal = normal;
    m_textPressed = pressed;
    update();
}

void CBtn::enterEvent(QEnterEvent* event) {
    m_tracking = true;
    update();
    QPushButton::enterEvent(event);
}

void CBtn::leaveEvent(QEvent* event) {
    m_tracking = false;
    update();
    QPushButton::leaveEvent(event);
}

void CBtn::paintEvent(QPaintEvent* event) {
    if (m_normal.isNull()) {
        QPushButton::paintEvent(event);
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const bool active = isEnabled() && (m_tracking || isDown());
    if (!isEnabled()) p.setOpacity(0.4);
    p.drawPixmap(rect(), active && !m_hover.isNull() ? m_hover : m_normal);
    if (!text().isEmpty()) {
        p.setOpacity(isEnabled() ? 1.0 : 0.55);
        p.setPen(isDown() ? m_textPressed : m_textNormal);
        QFont f = font();
        f.setBold(m_bold);
        p.setFont(f);
        p.drawText(rect().translated(isDown() ? 1 : 0, isDown() ? 1 : 0), Qt::AlignCenter | Qt::TextShowMnemonic,
                   text());
    }
    if (hasFocus()) {
        // Focus is shown plainly: a keyboard user must see where it is.
        p.setOpacity(1.0);
        p.setPen(QPen(palette().color(QPalette::Highlight), 2, Qt::SolidLine));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 3, 3);
    }
}

// ---------------------------------------------------------------- statics and edits

CColorStatic::CColorStatic(const QString& text, QWidget* parent) : QLabel(text, parent) {
    m_background = palette().color(QPalette::Button);
    setTextColor(panelTextColor());
}

void CColorStatic::setBackgroundColor(const QColor& color) {
    m_background = color;
    QPalette pal = palette();
    pal.setColor(QPalette::Window, color);
    setPalette(pal);
    setAutoFillBackground(true);
    update();
}

void CColorStatic::setTextColor(const QColor& color) {
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::Disabled, QPalette::WindowText, color.lighter(250));
    setPalette(pal);
}

void CColorStatic::paintEvent(QPaintEvent* event) {
    const QString t = text();
    const qsizetype tab = t.indexOf('\t');
    if (tab < 0 || m_tabColumn <= 0) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter p(this);
    if (autoFillBackground()) p.fillRect(rect(), m_background);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    const QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    p.drawText(r, flags, t.left(tab));
    qsizetype rest = tab;
    while (rest < t.size() && t[rest] == '\t') ++rest;
    p.drawText(r.adjusted(m_tabColumn, 0, 0, 0), flags, t.mid(rest));
}

CColorEdit::CColorEdit(QWidget* parent) : QLineEdit(parent) { m_background = palette().color(QPalette::Base); }

void CColorEdit::setBackgroundColor(const QColor& color) {
    m_background = color;
    QPalette pal = palette();
    pal.setColor(QPalette::Base, color);
    pal.setColor(QPalette::Disabled, QPalette::Base, color);
    setPalette(pal);
    update();
}

// ---------------------------------------------------------------- CCustomRadio

CCustomRadio::CCustomRadio(QWidget* parent) : QRadioButton(parent) {
    setAutoExclusive(false);
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::StrongFocus);
}

void CCustomRadio::keyPressEvent(QKeyEvent* event) {
    // Space (or Enter) on the focused radio chooses its mode, as the pointer does.
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Select) {
        if (isEnabled()) emit chosen();
        event->accept();
        return;
    }
    QRadioButton::keyPressEvent(event);
}

void CCustomRadio::enterEvent(QEnterEvent* event) {
    if (isEnabled()) emit chosen();
    QRadioButton::enterEvent(event);
}

void CCustomRadio::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        if (isEnabled()) emit chosen();
        event->accept();
        return;
    }
    QRadioButton::mousePressEvent(event);
}

void CCustomRadio::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        event->accept();
        return;
    }
    QRadioButton::mouseReleaseEvent(event);
}

// ---------------------------------------------------------------- CColoredListCtrl

CColoredListCtrl::CColoredListCtrl(QWidget* parent) : QTableWidget(parent) {
    setAlternatingRowColors(true);
    // Light grey stripes under a light scheme; a dark scheme keeps its own
    // base colours, as its text is light.
    if (!darkScheme()) {
        QPalette pal = palette();
        pal.setColor(QPalette::Base, fromColorRef(0xF9F9F9));
        pal.setColor(QPalette::AlternateBase, fromColorRef(0xE1E1E1));
        pal.setColor(QPalette::Text, QColor(0, 0, 0));
        setPalette(pal);
    }
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(true);
    setWordWrap(false);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &CColoredListCtrl::onHeaderClicked);
}

void CColoredListCtrl::onHeaderClicked(int column) {
    m_ascending = column == m_sortColumn ? !m_ascending : true;
    m_sortColumn = column;
    sortItems(column, m_ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSortIndicator(column, m_ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    emit sorted(column, m_ascending);
}

// ---------------------------------------------------------------- CTextProgressCtrl

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 100);
    setValue(0);
    setTextVisible(false);
}

void CTextProgressCtrl::setWindowText(const QString& text) {
    m_text = text;
    update();
}

void CTextProgressCtrl::setShowPercent(bool show) {
    m_showPercent = show;
    update();
}

void CTextProgressCtrl::setBarColor(const QColor& color) {
    m_bar = color;
    update();
}

QString CTextProgressCtrl::displayText() const {
    if (!m_showPercent) return m_text;
    const int span = maximum() - minimum();
    const double fraction = span > 0 ? double(value() - minimum()) / span : 0.0;
    return m_text + QString::asprintf("%d%%", static_cast<int>(std::lround(fraction * 100.0)));
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
    // Drawn off-screen and copied in one step, so that the bar never flickers.
    QPixmap buffer(size() * devicePixelRatioF());
    buffer.setDevicePixelRatio(devicePixelRatioF());
    buffer.fill(m_background);
    {
        QPainter p(&buffer);
        const QRect inner = rect().adjusted(2, 2, -2, -2);
        const int span = maximum() - minimum();
        const double fraction = span > 0 ? double(value() - minimum()) / span : 0.0;
        QRect filled = inner;
        filled.setWidth(static_cast<int>(inner.width() * fraction));
        p.fillRect(filled, m_bar);
        // Sunken edge: dark above and left, light below and right.
        p.setPen(QColor(128, 128, 128));
        p.drawLine(0, 0, width() - 1, 0);
        p.drawLine(0, 0, 0, height() - 1);
        p.setPen(QColor(200, 200, 200));
        p.drawLine(0, height() - 1, width() - 1, height() - 1);
        p.drawLine(width() - 1, 0, width() - 1, height() - 1);
        p.setPen(QColor(64, 64, 64));
        p.drawLine(1, 1, width() - 2, 1);
        p.drawLine(1, 1, 1, height() - 2);

        const QString text = displayText();
        if (!text.isEmpty()) {
            p.setClipRect(filled);
            p.setPen(m_textOverBar);
            p.drawText(inner, Qt::AlignCenter, text);
            p.setClipRegion(QRegion(inner).subtracted(QRegion(filled)));
            p.setPen(m_textOverBackground);
            p.drawText(inner, Qt::AlignCenter, text);
        }
    }
    QPainter out(this);
    out.drawPixmap(0, 0, buffer);
}

// ---------------------------------------------------------------- CLinkCur

CLinkCur::CLinkCur(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setCursor(Qt::PointingHandCursor);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
    pal.setColor(QPalette::Window, panelColor());
    setPalette(pal);
    setAutoFillBackground(true);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
}

void CLinkCur::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(event);
}

// ---------------------------------------------------------------- mytreectrl

mytreectrl::mytreectrl(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setFrameShape(QFrame::StyledPanel);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(16, 16));
    setIndentation(16);
    // Long item texts scroll sideways instead of being cut off.
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

QTreeWidgetItem* mytreectrl::addRoot(const QString& text, const QPixmap& icon) {
    auto* item = new QTreeWidgetItem(this, QStringList{text});
    if (!icon.isNull()) item->setIcon(0, QIcon(icon));
    return item;
}

QTreeWidgetItem* mytreectrl::addChild(QTreeWidgetItem* parent, const QString& text, const QPixmap& icon) {
    auto* item = new QTreeWidgetItem(parent, QStringList{text});
    if (!icon.isNull()) item->setIcon(0, QIcon(icon));
    return item;
}

QTreeWidgetItem* mytreectrl::findItem(const QString& text) const {
    const auto found = findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
}

}  // namespace qvx::ui
