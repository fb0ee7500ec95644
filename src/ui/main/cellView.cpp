#include "ui/main/cellView.h"

#include "ui/main/GroupAndUserNameFormatter.h"
#include "ui/main/OutlineViewDataSource.h"

#include <QApplication>
#include <QLineEdit>
#include <QPainter>

cellView::cellView(QObject *parent) : QStyledItemDelegate(parent) {}

void cellView::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const {
    QStyledItemDelegate::paint(painter, option, index);
    const QString status = index.data(OutlineViewDataSource::StatusTextRole).toString();
    if (status.isEmpty()) return;
    // The status text after the name, in what room the row leaves.
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    const int nameWidth = opt.fontMetrics.horizontalAdvance(opt.text) + opt.fontMetrics.horizontalAdvance(u' ') * 2;
    QRect rest = textRect.adjusted(nameWidth, 0, 0, 0);
    if (rest.width() <= opt.fontMetrics.averageCharWidth() * 3) return;
    painter->save();
    const bool selected = opt.state & QStyle::State_Selected;
    QColor color = opt.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText);
    painter->setPen(color);
    painter->setFont(opt.font);
    const QString line = QString(status).replace(u'\n', u' ');
    painter->drawText(rest, Qt::AlignVCenter | Qt::AlignLeft,
                      opt.fontMetrics.elidedText(line, Qt::ElideRight, rest.width()));
    painter->restore();
}

QSize cellView::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(qMax(size.height(), 22));
    return size;
}

QWidget *cellView::createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &index) const {
    auto *field = new QLineEdit(parent);
    field->setObjectName(QStringLiteral("nameField"));
    field->setFrame(false);
    auto *formatter = new GroupAndUserNameFormatter(!index.data(OutlineViewDataSource::IsGroupRole).toBool(), field);
    field->setValidator(formatter);
    return field;
}

void cellView::setEditorData(QWidget *editor, const QModelIndex &index) const {
    auto *field = static_cast<QLineEdit *>(editor);
    const QString name = index.data(Qt::EditRole).toString();
    field->setText(name);
    field->selectAll();
    if (auto *formatter = field->findChild<GroupAndUserNameFormatter *>()) formatter->textShouldBeginEditing(name);
}

void cellView::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const {
    auto *field = static_cast<QLineEdit *>(editor);
    auto *formatter = field->findChild<GroupAndUserNameFormatter *>();
    const QString value = formatter ? formatter->getObjectValue(field->text()) : field->text();
    model->setData(index, value, Qt::EditRole);
    if (formatter) formatter->textShouldEndEditing();
}
