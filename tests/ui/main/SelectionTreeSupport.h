#pragma once

// Ticking the check boxes of a selection tree as a user does: with the mouse on the box, or with
// Space on the current row.
#include <QModelIndex>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeView>

// Where the style draws a row's check box.
inline QRect checkBoxRect(QTreeView *view, const QModelIndex &index) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(index);
    option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay |
                      QStyleOptionViewItem::HasDecoration;
    option.text = index.data().toString();
    option.decorationSize = QSize(16, 16);
    return view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
}

inline void clickCheckBox(QTreeView *view, const QModelIndex &index) {
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, checkBoxRect(view, index).center());
}

inline void pressSpaceOn(QTreeView *view, const QModelIndex &index) {
    view->setFocus();
    view->setCurrentIndex(index);
    QTest::keyClick(view, Qt::Key_Space);
}
