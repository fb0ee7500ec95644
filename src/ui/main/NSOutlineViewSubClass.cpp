#include "ui/main/NSOutlineViewSubClass.h"

#include "core/model/Group.h"
#include "core/model/User.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "ui/conversation/ConversationServices.h"
#include "ui/main/MainInterface.h"
#include "ui/main/OutlineViewDataSource.h"
#include "ui/main/UserCard.h"
#include "ui/main/cellView.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QToolTip>

#include <algorithm>

namespace {

std::function<void(User *)> &infoOpener() {
    static std::function<void(User *)> opener;
    return opener;
}

} // namespace

QString NSOutlineViewSubClass::expandedItemsKey(const QString &autosaveName) {
    return QStringLiteral("NSOutlineView Items ") + autosaveName;
}

NSOutlineViewSubClass::NSOutlineViewSubClass(QWidget *parent) : QTreeView(parent) {
    setItemDelegate(new cellView(this));
    setHeaderHidden(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // A click on a selected group's name renames it, as F2 does; double clicks open and close.
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setMouseTracking(true);
    setUniformRowHeights(true);
    setAnimated(false);
    connect(this, &QTreeView::expanded, this, [this] { rememberExpanded(); });
    connect(this, &QTreeView::collapsed, this, [this] { rememberExpanded(); });
}

void NSOutlineViewSubClass::setDataSource(OutlineViewDataSource *dataSource) {
    if (m_dataSource) disconnect(m_dataSource, nullptr, this, nullptr);
    m_dataSource = dataSource;
    if (!dataSource) {
        setModel(nullptr);
        return;
    }
    dataSource->setOutlineView(this);
    // The view forgets what was open when the rows are rebuilt; the names bring it back.
    connect(dataSource, &QAbstractItemModel::modelAboutToBeReset, this, &NSOutlineViewSubClass::rememberExpanded);
    connect(dataSource, &QAbstractItemModel::modelReset, this, &NSOutlineViewSubClass::restoreExpandedItems);
    connect(dataSource, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &parent) {
        if (!parent.isValid()) restoreExpandedItems();
    });
    restoreExpandedItems();
}

void NSOutlineViewSubClass::setGroupsList(QMenu *menu) {
    m_groupsList = menu;
    if (menu) connect(menu, &QMenu::aboutToShow, this, &NSOutlineViewSubClass::menuNeedsUpdate, Qt::UniqueConnection);
}

// --- open groups ---

void NSOutlineViewSubClass::setAutosaveName(const QString &name) {
    m_autosaveName = name;
    m_expanded.clear();
    if (!name.isEmpty())
        for (const QVariant &v : Defaults::standard().arrayForKey(expandedItemsKey(name)))
            if (v.typeId() == QMetaType::QString) m_expanded << v.toString();
    restoreExpandedItems();
}

void NSOutlineViewSubClass::restoreExpandedItems() {
    if (!model()) return;
    m_restoring = true;
    for (int row = 0; row < model()->rowCount(); ++row) {
        const QModelIndex index = model()->index(row, 0);
        if (m_expanded.contains(index.data(Qt::EditRole).toString()) && !isExpanded(index)) expand(index);
    }
    m_restoring = false;
}

void NSOutlineViewSubClass::rememberExpanded() {
    if (m_restoring || !model()) return;
    // Groups the view does not hold now keep what was remembered of them.
    QStringList shown, open;
    for (int row = 0; row < model()->rowCount(); ++row) {
        const QModelIndex index = model()->index(row, 0);
        const QString name = index.data(Qt::EditRole).toString();
        shown << name;
        if (isExpanded(index)) open << name;
    }
    QStringList names;
    for (const QString &name : std::as_const(m_expanded))
        if (!shown.contains(name)) names << name;
    names << open;
    names.removeDuplicates();
    if (names == m_expanded) return;
    m_expanded = names;
    if (m_autosaveName.isEmpty()) return;
    QVariantList stored;
    for (const QString &name : std::as_const(names)) stored << name;
    Defaults::standard().setValue(expandedItemsKey(m_autosaveName), stored);
}

// --- menus ---

TreeItem *NSOutlineViewSubClass::selectedItem() const {
    if (!m_dataSource) return nullptr;
    const QList<TreeItem *> items = m_dataSource->selectedItems();
    return items.size() == 1 ? items.first() : nullptr;
}

QMenu *NSOutlineViewSubClass::menuForEvent(const QPoint &viewportPos) {
    const QModelIndex index = indexAt(viewportPos);
    if (!index.isValid() || !m_dataSource) {
        clearSelection();
        return m_globalMenu;
    }
    selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    if (dynamic_cast<Group *>(m_dataSource->itemForIndex(index))) return m_groupMenu;
    menuNeedsUpdate();
    return m_userMenu;
}

void NSOutlineViewSubClass::menuNeedsUpdate() {
    auto *user = dynamic_cast<User *>(selectedItem());
    if (!user || !m_dataSource || !m_dataSource->context()) return;
    m_rightClicked = user;
    QList<Group *> groups;
    for (Group *group : m_dataSource->context()->fetch<Group>())
        if (!group->isDeleted() && group != user->group()) groups << group;
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group *a, const Group *b) { return a->name() < b->name(); });
    if (m_groupsList) {
        m_groupsList->clear();
        // Each item carries its group, not its title: two groups may share a name.
        for (Group *group : groups) {
            QAction *item = m_groupsList->addAction(group->name());
            QPointer<Group> target(group);
            connect(item, &QAction::triggered, this, [this, target] { moveUsertoGroup(target.data()); });
        }
        m_groupsList->setEnabled(!groups.isEmpty());
    }
    UserCard::closeCurrent();
}

void NSOutlineViewSubClass::moveUsertoGroup(Group *group) {
    if (!group || group->isDeleted() || !m_rightClicked || !m_dataSource) return;
    m_dataSource->moveUsers({m_rightClicked.data()}, group);
}

void NSOutlineViewSubClass::setInfoWindowOpener(std::function<void(User *)> opener) {
    infoOpener() = std::move(opener);
}

bool NSOutlineViewSubClass::canGetInfo() {
    return infoOpener() || ConversationServices::current()->canShowUserInfo();
}

void NSOutlineViewSubClass::GetInfo() {
    auto *user = dynamic_cast<User *>(selectedItem());
    if (!user && (!m_dataSource || m_dataSource->selectedItems().isEmpty())) user = m_rightClicked.data();
    if (!user) return;
    if (infoOpener())
        infoOpener()(user);
    else if (ConversationServices::current()->canShowUserInfo())
        ConversationServices::current()->showUserInfo(user);
}

void NSOutlineViewSubClass::contextMenuEvent(QContextMenuEvent *event) {
    QMenu *menu = menuForEvent(viewport()->mapFromGlobal(event->globalPos()));
    if (menu) menu->popup(event->globalPos());
    event->accept();
}

// --- clicks ---

void NSOutlineViewSubClass::mousePressEvent(QMouseEvent *event) {
    const Qt::KeyboardModifiers toggling = Qt::ShiftModifier | Qt::ControlModifier | Qt::MetaModifier;
    if (event->button() == Qt::LeftButton && (event->modifiers() & toggling)) {
        // One row more or one less; below the rows nothing changes.
        const QModelIndex index = indexAt(event->position().toPoint());
        if (index.isValid()) {
            const bool selected = selectionModel()->isSelected(index);
            selectionModel()->select(index, (selected ? QItemSelectionModel::Deselect : QItemSelectionModel::Select) |
                                                QItemSelectionModel::Rows);
            if (!selected) selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
        }
        event->accept();
        UserCard::closeCurrent();
        return;
    }
    QTreeView::mousePressEvent(event);
    UserCard::closeCurrent();
    if (event->button() == Qt::LeftButton && selectionModel() && selectionModel()->selectedRows().size() == 1) {
        const QModelIndex index = indexAt(event->position().toPoint());
        if (index.isValid()) emit action(index);
    }
}

void NSOutlineViewSubClass::mouseDoubleClickEvent(QMouseEvent *event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    const bool single = selectionModel() && selectionModel()->selectedRows().size() == 1;
    QTreeView::mouseDoubleClickEvent(event);
    UserCard::closeCurrent();
    if (event->button() == Qt::LeftButton && index.isValid() && single) emit doubleAction(index);
}

bool NSOutlineViewSubClass::edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) {
    // Only a left click renames; a right click never does.
    if (event && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease ||
                  event->type() == QEvent::MouseButtonDblClick)) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton || (mouse->modifiers() & ~Qt::KeypadModifier)) return false;
    }
    return QTreeView::edit(index, trigger, event);
}

// --- dragging ---

void NSOutlineViewSubClass::startDrag(Qt::DropActions) {
    if (!m_dataSource) return;
    const QList<TreeItem *> items = m_dataSource->selectedItems();
    if (items.isEmpty()) return;
    QModelIndexList indexes;
    for (TreeItem *item : items) indexes << m_dataSource->indexForItem(item);
    UserCard::closeCurrent();
    OutlineViewDataSource::setDraggedItems(items);
    auto *drag = new QDrag(this);
    drag->setMimeData(m_dataSource->mimeData(indexes));
    if (items.size() == 1) {
        const QIcon icon = indexes.first().data(Qt::DecorationRole).value<QIcon>();
        if (!icon.isNull()) drag->setPixmap(icon.pixmap(iconSize().isValid() ? iconSize() : QSize(16, 16)));
    }
    // The rows move through the model's drop; nothing is removed here afterwards.
    drag->exec(Qt::MoveAction, Qt::MoveAction);
    OutlineViewDataSource::clearDraggedItems();
}

// --- the user card ---

bool NSOutlineViewSubClass::viewportEvent(QEvent *event) {
    switch (event->type()) {
    case QEvent::ToolTip: {
        const auto *help = static_cast<QHelpEvent *>(event);
        showCard(indexAt(help->pos()), help->pos());
        return true;
    }
    case QEvent::Leave:
        if (UserCard *card = UserCard::current()) card->shouldCloseToolTip();
        break;
    default:
        break;
    }
    return QTreeView::viewportEvent(event);
}

void NSOutlineViewSubClass::mouseMoveEvent(QMouseEvent *event) {
    // Leaving the card's row is leaving the card's place.
    if (UserCard *card = UserCard::current(); card && m_dataSource) {
        const QModelIndex index = indexAt(event->position().toPoint());
        if (m_dataSource->itemForIndex(index) != static_cast<TreeItem *>(card->user())) card->shouldCloseToolTip();
    }
    QTreeView::mouseMoveEvent(event);
}

void NSOutlineViewSubClass::showCard(const QModelIndex &index, const QPoint &viewportPos) {
    if (OutlineViewDataSource::inDraggingProcess()) {
        UserCard::closeCurrent();
        QToolTip::hideText();
        return;
    }
    auto *user = m_dataSource ? dynamic_cast<User *>(m_dataSource->itemForIndex(index)) : nullptr;
    if (!user) {
        // Groups and the space below the rows have no card.
        QToolTip::hideText();
        return;
    }
    if (UserCard *card = UserCard::current()) {
        if (card->user() == user) return; // still shown
        UserCard::closeCurrent();
    }
    const QPoint origin = viewport()->mapToGlobal(viewportPos + QPoint(-2, 2));
    if (UserCard::hasMaker()) {
        QWidget *key = QApplication::activeWindow();
        if (UserCard *card = UserCard::make(user)) card->showAsToolTip(origin);
        if (key && key != QApplication::activeWindow()) key->activateWindow();
        return;
    }
    // Until there is a card: the name, the status and its text.
    QString text = index.data(Qt::DisplayRole).toString() + QStringLiteral(" — ") + MainInterface::statusName(user->userOffline() ? QStringLiteral("10") : user->status());
    const QString statusText = index.data(OutlineViewDataSource::StatusTextRole).toString();
    if (!statusText.isEmpty()) text += QStringLiteral("\n") + statusText;
    QToolTip::showText(origin, text, viewport(), visualRect(index));
}
