#pragma once
// The window's own controls: thin subclasses of the Qt widgets that give the
// wizard its flat, light-blue look (picture buttons with hover faces and
// tooltips, statics and edits with a chosen background, striped lists, a
// progress bar that prints its text, hyperlink texts, the left-panel tree).

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTreeWidget>

namespace qvx::ui {

/// Windows colour values are 0x00BBGGRR.
QColor fromColorRef(unsigned colorRef);

/// The panel background: 0xFAF4F1 in a light colour scheme; under a dark
/// one the scheme's own window colour, so that its light text stays readable.
QColor panelColor();
/// Text on the panel background: black in a light scheme, the scheme's text otherwise.
QColor panelTextColor();
/// The application's colour scheme is dark (light text on dark windows).
bool darkScheme();

/// Picture button: a normal face and a face shown while the pointer is over
/// it or it is pressed; the text is drawn over the face.
class CBtn : public QPushButton {
    Q_OBJECT
public:
    explicit CBtn(const QString& text, QWidget* parent = nullptr);
    /// Sizes the button to the faces.
    void setFaces(const QPixmap& normal, const QPixmap& hover);
    void setTextColors(const QColor& normal, const QColor& pressed);
    void setBoldText(bool bold) { m_bold = bold; update(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QPixmap m_normal;
    QPixmap m_hover;
    QColor m_textNormal{0, 0, 0};
    QColor m_textPressed{0, 0, 128};
    bool m_tracking = false;  // the pointer is over the button
    bool m_bold = true;
};

/// Static text with a background colour of its own.
class CColorStatic : public QLabel {
    Q_OBJECT
public:
    explicit CColorStatic(const QString& text = {}, QWidget* parent = nullptr);
    void setBackgroundColor(const QColor& color);
    void setTextColor(const QColor& color);
    QColor backgroundColor() const { return m_background; }
    /// A text with tabs ("Boot Sectors Found\t\t:") is drawn with what
    /// follows its tabs starting at this x, so that the colons of a group of
    /// labels line up whatever the font.
    void setTabColumn(int x) { m_tabColumn = x; update(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_background;
    int m_tabColumn = 0;
};

/// Edit with a background colour of its own.
class CColorEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CColorEdit(QWidget* parent = nullptr);
    void setBackgroundColor(const QColor& color);
    QColor backgroundColor() const { return m_background; }

private:
    QColor m_background;
};

/// A search-mode radio: the pointer moving over an enabled radio chooses
/// its mode, as does a left-button press (swallowed otherwise); the pointer
/// leaving does nothing.
class CCustomRadio : public QRadioButton {
    Q_OBJECT
public:
    explicit CCustomRadio(QWidget* parent = nullptr);

signals:
    void chosen();

protected:
    void enterEvent(QEnterEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

/// Report list with striped rows (even 0xF9F9F9, odd 0xE1E1E1); a click on a
/// column header sorts by it, toggling the direction on the same column.
class CColoredListCtrl : public QTableWidget {
    Q_OBJECT
public:
    explicit CColoredListCtrl(QWidget* parent = nullptr);
    int sortColumn() const { return m_sortColumn; }
    bool sortAscending() const { return m_ascending; }

signals:
    void sorted(int column, bool ascending);

private:
    void onHeaderClicked(int column);
    int m_sortColumn = -1;
    bool m_ascending = true;
};

/// Progress bar that prints centred text over its bar: the window text,
/// followed by the filled percentage when that is switched on.
class CTextProgressCtrl : public QProgressBar {
    Q_OBJECT
public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr);
    void setWindowText(const QString& text);
    QString windowText() const { return m_text; }
    void setShowPercent(bool show);
    void setBarColor(const QColor& color);
    /// What the bar prints now.
    QString displayText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    bool m_showPercent = true;
    QColor m_bar{49, 106, 197};
    QColor m_background{255, 255, 255};
    QColor m_textOverBar{255, 255, 255};
    QColor m_textOverBackground{0, 0, 0};
};

/// Hyperlink text: blue on the panel colour, the hand cursor over it.
class CLinkCur : public QLabel {
    Q_OBJECT
public:
    explicit CLinkCur(const QString& text, QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

/// The left-panel tree: the device tree, the partition tree, the
/// file-system tree and the folder tree are all instances.
class mytreectrl : public QTreeWidget {
    Q_OBJECT
public:
    explicit mytreectrl(QWidget* parent = nullptr);
    QTreeWidgetItem* rootItem() const { return topLevelItemCount() > 0 ? topLevelItem(0) : nullptr; }
    QTreeWidgetItem* addRoot(const QString& text, const QPixmap& icon);
    QTreeWidgetItem* addChild(QTreeWidgetItem* parent, const QString& text, const QPixmap& icon);
    /// The first item (in display order) with this text, or null.
    QTreeWidgetItem* findItem(const QString& text) const;
};

}  // namespace qvx::ui
