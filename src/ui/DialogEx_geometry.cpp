// The wizard window's geometry: the template's 790 x 600 layout is the
// default size; when the window grows or shrinks, the left panel and the
// list take the change, the rows of controls under them move down with the
// window's bottom and follow the list's left edge, and the navigation
// buttons stay in the bottom right corner.

#include <QLabel>
#include <QLineEdit>
#include <QCheckBox>
#include <QResizeEvent>
#include <QTableWidget>

#include <algorithm>

#include "ui/DialogEx.h"
#include "ui/DialogEx_layout.h"
#include "ui/controls.h"
#include "ui/pictures.h"

namespace qvx::ui {

using namespace layout;

void CChildDialogExDemoDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    relayout();
}

void CChildDialogExDemoDlg::relayout() {
    if (!m_c.mainList || !m_c.helpStrip) return;
    // The controls of the template, recorded once at their places.
    if (m_design.empty()) {
        const std::vector<QWidget*> special{m_banner, m_rule, m_c.mainList, m_c.searchPanel, m_c.helpStrip,
                                            m_c.next, m_c.back, m_c.about, m_c.currentFolder, m_c.loadProgress,
                                            m_splitter, m_c.filter, m_c.deletedOnly, m_c.itemCount};
        for (QObject* o : children()) {
            auto* w = qobject_cast<QWidget*>(o);
            if (!w || w->isWindow() || qobject_cast<mytreectrl*>(w)) continue;
            if (std::find(special.begin(), special.end(), w) != special.end()) continue;
            m_design.emplace_back(w, w->geometry());
        }
    }
    const int W = width();
    const int H = height();
    const int dh = H - kWindowHeight;
    const int dw = W - kWindowWidth;
    // Until the splitter is moved, the left panel takes its share of a wider window.
    if (!m_treeWidthChosen) m_treeWidth = std::max(225, (W - 60) * 3 / 10);
    m_treeWidth = std::clamp(m_treeWidth, 150, std::max(150, W - 565));
    const int panelTop = kTreeRect.top();
    const int panelHeight = kTreeRect.height() + dh;
    const int listLeft = kTreeRect.left() + m_treeWidth + 15;
    const int listRight = W - 20;
    const int shift = listLeft - kListRect.left();

    if (m_banner) {
        m_banner->setGeometry(0, 0, W, kBannerHeight);
        if (m_banner->pixmap().deviceIndependentSize().toSize().width() != W)
            m_banner->setPixmap(pictures::banner(QSize(W, kBannerHeight)));
    }
    if (m_rule) m_rule->setGeometry(10, 148, W - 20, 4);
    m_c.about->move(W - 56, 101);

    const QRect tree(kTreeRect.left(), panelTop, m_treeWidth, panelHeight);
    for (QObject* o : children())
        if (auto* t = qobject_cast<mytreectrl*>(o)) t->setGeometry(tree);
    if (m_splitter) m_splitter->setGeometry(tree.right() + 3, panelTop, 10, panelHeight);

    const bool results = m_c.currentFolderLabel && !m_c.currentFolderLabel->isHidden();
    if (results && m_c.filter) {
        const int boxWidth = std::min(300, (listRight - listLeft) / 2);
        m_c.filter->setGeometry(listLeft, panelTop, boxWidth, 24);
        m_c.deletedOnly->setGeometry(listLeft + boxWidth + 12, panelTop, 130, 24);
        m_c.mainList->setGeometry(listLeft, panelTop + 28, listRight - listLeft, panelHeight - 28);
    } else {
        m_c.mainList->setGeometry(listLeft, panelTop, listRight - listLeft, panelHeight);
    }
    m_c.searchPanel->setGeometry(listLeft, panelTop, listRight - listLeft, panelHeight + 60);
    // The panel's rows close up when the window is lower than the template,
    // so that its progress, status and Stop Searching stay inside it.
    {
        const int inner = panelHeight + 60;
        const int step = std::clamp((inner - 16 - 112) / 6, 22, 30);
        const std::pair<QWidget*, QWidget*> rows[] = {
            {m_c.driveLabel, m_c.driveValue},           {m_c.fileSystemLabel, m_c.fileSystemValue},
            {m_c.directoriesLabel, m_c.directoriesValue}, {m_c.bootSectorsLabel, m_c.bootSectorsValue},
            {m_c.criteriaLabel, m_c.criteriaValue},     {m_c.rangeLabel, m_c.rangeValue}};
        int y = 16;
        const int panelWidth = listRight - listLeft;
        for (const auto& [label, value] : rows) {
            label->setGeometry(18, y, 230, 24);
            value->setGeometry(250, y, std::max(120, panelWidth - 270), 24);
            y += step;
        }
        const int gap = step < 30 ? 4 : 8;
        m_c.searchProgress->setGeometry(18, y + gap, std::max(200, panelWidth - 41), 24);
        m_c.statusText->setGeometry(18, y + gap + 30, std::max(200, panelWidth - 41), 24);
        m_c.stopSearch->move(std::max(18, panelWidth - 153), y + gap + 60);
    }

    for (const auto& [w, r] : m_design) {
        QRect g = r;
        if (r.top() >= kRowA - 10) g.translate(0, dh);
        if (r.left() >= kListRect.left() - 5) g.translate(shift, 0);
        w->setGeometry(g);
    }
    const int rowA = kRowA + dh;
    const int countWidth = 90;
    m_c.currentFolder->setGeometry(listLeft + 110, rowA, std::max(80, listRight - listLeft - 110 - countWidth), 26);
    if (m_c.itemCount) m_c.itemCount->setGeometry(listRight - countWidth, rowA, countWidth, 26);
    m_c.loadProgress->setGeometry(listLeft, kRowB + dh, listRight - listLeft, 22);
    m_c.helpStrip->setGeometry(14, 516 + dh, 562 + dw, 72);
    m_c.back->move(592 + dw, 540 + dh);
    m_c.next->move(684 + dw, 540 + dh);
}

}  // namespace qvx::ui
