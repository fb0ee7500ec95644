#include "ui/main/OutlineViewDataSource.h"

#include "core/app/AppContext.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/FILEserver.h"
#include "ui/main/CheckBoxSubClass.h"
#include "ui/main/MainInterface.h"

#include <QItemSelectionModel>
#include <QLoggingCategory>
#include <QMimeData>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <algorithm>

namespace {

Q_LOGGING_CATEGORY(lcTree, "murnavell.ui.tree")

const QString kHideOffline = QStringLiteral("hideOfflineUsers");

struct Drag {
    QList<QPointer<TreeItem>> items;
    bool includesGroup = false;
};

Drag &drag() {
    static Drag current;
    return current;
}

std::function<bool(const QStringList &, User *)> &fileSender() {
    static std::function<bool(const QStringList &, User *)> sender;
    return sender;
}

// Local files of a drag; empty when it carries none.
QStringList localFiles(const QMimeData *data) {
    QStringList paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty()) paths << url.toLocalFile();
    return paths;
}

void saveIfChanged(ManagedObjectContext *context) {
    if (!context || !context->hasChanges()) return;
    StoreError error;
    if (!context->save(&error))
        qCWarning(lcTree).noquote() << "the tree's changes were not saved:" << error.message;
}

} // namespace

const QString OutlineViewDataSource::TreeItemMimeType = QStringLiteral("application/x-murnavell-treeitem");

OutlineViewDataSource::OutlineViewDataSource(ManagedObjectContext *context, QObject *parent)
    : QAbstractItemModel(parent), m_context(context ? context : appManagedObjectContext()) {
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    m_timer->setInterval(ResortDelayMs);
    connect(m_timer, &QTimer::timeout, this, &OutlineViewDataSource::delayedGroupResort);

    updatePredicate();
    connect(&Defaults::standard(), &Defaults::changed, this, [this](const QString &key) {
        if (key == kHideOffline) hideOfflineChanged();
    });

    // The posters are users of the store; anything else is not ours to place.
    NotificationCenter &center = NotificationCenter::defaultCenter();
    for (const char *name : {"userChangedHisName", "userChangedHisOfflineStatus"})
        m_observers << center.addObserver(QString::fromLatin1(name), nullptr,
                                          [this](const Notification &note) {
                                              const auto it = m_watchedUsers.constFind(note.object);
                                              if (it == m_watchedUsers.constEnd()) return;
                                              User *user = it.value();
                                              touch(cachedGroupOf(user));
                                              touch(user->group());
                                              rowChanged(user);
                                          });

    if (m_context) {
        connect(m_context, &ManagedObjectContext::objectInserted, this,
                &OutlineViewDataSource::objectInserted);
        connect(m_context, &ManagedObjectContext::objectDeleted, this, &OutlineViewDataSource::objectDeleted);
        for (User *user : m_context->fetch<User>()) watch(user);
        for (Group *group : m_context->fetch<Group>()) watch(group);
    }
    rebuild();
}

OutlineViewDataSource::~OutlineViewDataSource() {
    for (NotificationCenter::Token token : std::as_const(m_observers))
        NotificationCenter::defaultCenter().removeObserver(token);
}

// --- what is shown ---

void OutlineViewDataSource::updatePredicate() {
    m_hideOffline = Defaults::standard().boolForKey(kHideOffline);
}

bool OutlineViewDataSource::usersPredicate(const User *user) const {
    if (!user || user->isDeleted() || user->removed()) return false;
    if (m_hideOffline && user->userOffline()) return false;
    if (m_hasExcluded && (user->userOffline() || m_excluded.contains(user))) return false;
    return true;
}

bool OutlineViewDataSource::groupLessThan(const TreeItem *a, const TreeItem *b) {
    const int byName = QString::compare(a->name(), b->name(), Qt::CaseInsensitive);
    if (byName != 0) return byName < 0;
    return a->rowId() < b->rowId(); // equal names keep one order
}

bool OutlineViewDataSource::userLessThan(const User *a, const User *b) {
    if (a->userOffline() != b->userOffline()) return !a->userOffline();
    return groupLessThan(a, b);
}

QList<User *> OutlineViewDataSource::shownUsers(const Group *group) const {
    QList<User *> users;
    if (!group || group->isDeleted()) return users;
    for (User *user : group->users())
        if (usersPredicate(user)) users.append(user);
    std::sort(users.begin(), users.end(), &OutlineViewDataSource::userLessThan);
    return users;
}

int OutlineViewDataSource::IndexOfUserInGroup(const User *user) const {
    if (!user) return -1;
    return int(shownUsers(user->group()).indexOf(const_cast<User *>(user)));
}

QList<Group *> OutlineViewDataSource::fetchGroups() const {
    QList<Group *> groups;
    if (!m_context) return groups;
    for (Group *group : m_context->fetch<Group>())
        if (!group->isDeleted()) groups.append(group);
    std::sort(groups.begin(), groups.end(), &OutlineViewDataSource::groupLessThan);
    return groups;
}

void OutlineViewDataSource::setExcludedUser(const QList<User *> &users) {
    beginResetModel();
    m_hasExcluded = true;
    m_excluded.clear();
    for (User *user : users) m_excluded.insert(user);
    rebuild();
    endResetModel();
}

void OutlineViewDataSource::setCheckBoxes(CheckBoxSubClass *boxes) {
    if (m_checkBoxes) disconnect(m_checkBoxes, nullptr, this, nullptr);
    m_checkBoxes = boxes;
    if (!boxes) return;
    // Any change of the selection may change any box: groups show their users' state.
    connect(boxes, &CheckBoxSubClass::changed, this, [this] {
        if (m_groups.isEmpty()) return;
        const QList<int> roles{Qt::CheckStateRole};
        emit dataChanged(index(0, 0), index(int(m_groups.size()) - 1, 0), roles);
        for (int row = 0; row < m_groups.size(); ++row) {
            const int children = int(m_children.value(m_groups.at(row)).size());
            if (children == 0) continue;
            const QModelIndex parent = index(row, 0);
            emit dataChanged(index(0, 0, parent), index(children - 1, 0, parent), roles);
        }
    });
}

// --- rows as the view knows them ---

int OutlineViewDataSource::topRow(const Group *group) const {
    return int(m_groups.indexOf(const_cast<Group *>(group)));
}

void OutlineViewDataSource::rebuild() {
    m_groups = fetchGroups();
    m_children.clear();
    m_where.clear();
    for (Group *group : std::as_const(m_groups)) {
        const QList<User *> users = shownUsers(group);
        for (User *user : users) m_where.insert(user, group);
        m_children.insert(group, users);
    }
}

TreeItem *OutlineViewDataSource::itemForIndex(const QModelIndex &index) const {
    if (!index.isValid() || index.model() != this) return nullptr;
    if (!index.internalPointer()) return m_groups.value(index.row());
    const auto *group = static_cast<const Group *>(index.internalPointer());
    return m_children.value(group).value(index.row());
}

QModelIndex OutlineViewDataSource::indexForItem(const TreeItem *item) const {
    if (!item) return {};
    if (const auto *group = dynamic_cast<const Group *>(item)) {
        const int row = topRow(group);
        return row < 0 ? QModelIndex() : createIndex(row, 0);
    }
    const auto *user = static_cast<const User *>(item);
    Group *group = m_where.value(user);
    if (!group) return {};
    const int row = int(m_children.value(group).indexOf(const_cast<User *>(user)));
    return row < 0 ? QModelIndex() : createIndex(row, 0, group);
}

QModelIndex OutlineViewDataSource::index(int row, int column, const QModelIndex &parent) const {
    if (!hasIndex(row, column, parent)) return {};
    if (!parent.isValid()) return createIndex(row, column);
    if (parent.internalPointer()) return {}; // users have no children
    return createIndex(row, column, m_groups.at(parent.row()));
}

QModelIndex OutlineViewDataSource::parent(const QModelIndex &child) const {
    if (!child.isValid() || !child.internalPointer()) return {};
    const int row = topRow(static_cast<const Group *>(child.internalPointer()));
    return row < 0 ? QModelIndex() : createIndex(row, 0);
}

int OutlineViewDataSource::rowCount(const QModelIndex &parent) const {
    if (!parent.isValid()) return int(m_groups.size());
    if (parent.column() != 0 || parent.internalPointer()) return 0;
    return int(m_children.value(m_groups.value(parent.row())).size());
}

int OutlineViewDataSource::columnCount(const QModelIndex &) const { return 1; }

bool OutlineViewDataSource::hasChildren(const QModelIndex &parent) const {
    // A group can be opened even while it shows nobody.
    if (!parent.isValid()) return !m_groups.isEmpty();
    return parent.column() == 0 && !parent.internalPointer();
}

QVariant OutlineViewDataSource::data(const QModelIndex &index, int role) const {
    TreeItem *item = itemForIndex(index);
    if (!item) return {};
    auto *user = dynamic_cast<User *>(item);
    switch (role) {
    case Qt::DisplayRole:
        if (user && user->name().isEmpty()) return user->pc().isEmpty() ? user->userId() : user->pc();
        return item->name();
    case Qt::EditRole:
        return item->name();
    case Qt::DecorationRole:
        if (user && item->icon().isEmpty()) return MainInterface::statusIcon(user->status());
        return MainInterface::image(item->icon().isEmpty() ? QStringLiteral("Group") : item->icon());
    case Qt::AccessibleTextRole: {
        const QString name = data(index, Qt::DisplayRole).toString();
        if (!user) return name;
        const QString text = data(index, StatusTextRole).toString();
        const QString status =
            MainInterface::statusName(user->userOffline() ? QStringLiteral("10") : user->status());
        return text.isEmpty() ? QStringLiteral("%1, %2").arg(name, status)
                              : QStringLiteral("%1, %2: %3").arg(name, status, text);
    }
    case Qt::CheckStateRole:
        if (m_checkBoxes) return m_checkBoxes->state(item);
        return {};
    case TreeItemRole:
        return QVariant::fromValue(static_cast<QObject *>(item));
    case IsGroupRole:
        return !user;
    case StatusRole:
        return user ? QVariant(user->userOffline() ? QStringLiteral("10") : user->status()) : QVariant();
    case StatusTextRole:
        if (!user || user->userOffline()) return QString();
        if (user->status() != QLatin1String("1") && user->status() != QLatin1String("2")) return QString();
        return user->statusString();
    case LocalUserRole:
        return user && user == Me::current();
    default:
        return {};
    }
}

bool OutlineViewDataSource::setData(const QModelIndex &index, const QVariant &value, int role) {
    TreeItem *item = itemForIndex(index);
    if (!item) return false;
    if (role == Qt::CheckStateRole && m_checkBoxes) {
        m_checkBoxes->click(item, Qt::CheckState(value.toInt()));
        return true;
    }
    if (role != Qt::EditRole) return false;
    auto *group = dynamic_cast<Group *>(item);
    const QString name = value.toString();
    // Names are edited for groups only, and an empty one keeps the old name.
    if (!group || name.isEmpty()) return false;
    if (name != group->name()) {
        group->setName(name);
        saveIfChanged(m_context);
    }
    emit dataChanged(index, index);
    return true;
}

Qt::ItemFlags OutlineViewDataSource::flags(const QModelIndex &index) const {
    TreeItem *item = itemForIndex(index);
    if (!item) return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (m_checkBoxes) return flags | Qt::ItemIsUserCheckable;
    flags |= Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
    if (dynamic_cast<Group *>(item)) flags |= Qt::ItemIsEditable;
    return flags;
}

// --- dragging and dropping ---

QList<QPointer<TreeItem>> OutlineViewDataSource::draggedItems() { return drag().items; }

void OutlineViewDataSource::setDraggedItems(const QList<TreeItem *> &items) {
    Drag &d = drag();
    d.items.clear();
    d.includesGroup = false;
    for (TreeItem *item : items) {
        d.items.append(item);
        if (dynamic_cast<Group *>(item)) d.includesGroup = true;
    }
}

void OutlineViewDataSource::clearDraggedItems() { setDraggedItems({}); }

bool OutlineViewDataSource::inDraggingProcess() { return !drag().items.isEmpty(); }

void OutlineViewDataSource::setFileSender(std::function<bool(const QStringList &, User *)> sender) {
    fileSender() = std::move(sender);
}

QStringList OutlineViewDataSource::mimeTypes() const {
    return {TreeItemMimeType, QStringLiteral("text/plain"), QStringLiteral("text/uri-list")};
}

QMimeData *OutlineViewDataSource::mimeData(const QModelIndexList &indexes) const {
    QStringList names;
    for (const QModelIndex &index : indexes)
        if (TreeItem *item = itemForIndex(index)) names << item->name();
    auto *data = new QMimeData;
    // The items themselves travel beside the data (the drag in progress); what is on the data
    // only says that tree items are dragged, and gives other programs the names.
    data->setData(TreeItemMimeType, QByteArray());
    data->setText(names.join(QLatin1Char('\n')));
    return data;
}

Qt::DropActions OutlineViewDataSource::supportedDropActions() const {
    return Qt::CopyAction | Qt::MoveAction;
}

Qt::DropActions OutlineViewDataSource::supportedDragActions() const { return Qt::MoveAction; }

bool OutlineViewDataSource::canDropMimeData(const QMimeData *data, Qt::DropAction, int row, int,
                                            const QModelIndex &parent) const {
    if (m_checkBoxes || !data) return false;
    // 1. Nothing proposed: the empty area, or between groups.
    TreeItem *target = itemForIndex(parent);
    if (!target) return false;
    auto *user = dynamic_cast<User *>(target);
    // 2. Files go to an online user, never to a group, a row between users or oneself.
    if (!localFiles(data).isEmpty())
        return user && !user->userOffline() && !user->isDeleted() && user != Me::current();
    // Only a drag of this program's tree carries items it can move.
    if (!data->hasFormat(TreeItemMimeType) || !inDraggingProcess()) return false;
    // 3. Groups are never moved.
    if (drag().includesGroup) return false;
    // 4. Onto a group itself, not between its rows; 5. onto a user means into its group.
    if (!user) return row < 0;
    return user->group() != nullptr;
}

bool OutlineViewDataSource::dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                                         const QModelIndex &parent) {
    if (!canDropMimeData(data, action, row, column, parent)) return false;
    TreeItem *target = itemForIndex(parent);
    auto *user = dynamic_cast<User *>(target);
    const QStringList files = localFiles(data);
    if (!files.isEmpty()) {
        if (fileSender()) return fileSender()(files, user);
        FILEserver *server = FILEserver::shared();
        return server && server->outgoingFiles(files, user);
    }
    Group *group = user ? user->group() : static_cast<Group *>(target);
    QList<User *> users;
    for (const QPointer<TreeItem> &item : drag().items)
        if (auto *u = dynamic_cast<User *>(item.data())) users.append(u);
    moveUsers(users, group);
    return true;
}

// --- moving users ---

void OutlineViewDataSource::moveUsers(const QList<User *> &users, Group *group) {
    if (!group || group->isDeleted()) return;
    bool reload = false;
    for (User *user : users)
        if (!moveOne(user, group)) reload = true;
    saveIfChanged(m_context);
    if (reload)
        reloadData();
    else
        outlineViewSelectionDidChange();
}

bool OutlineViewDataSource::moveOne(User *user, Group *target) {
    if (!user || user->isDeleted()) return true;
    Group *oldGroup = cachedGroupOf(user);
    const int oldRow = oldGroup ? int(m_children.value(oldGroup).indexOf(user)) : -1;
    user->setGroup(target);
    const bool shown = usersPredicate(user);
    const int targetRow = topRow(target);
    // A row that cannot be placed: the caller reloads everything.
    if (targetRow < 0 || (oldRow < 0 && shown)) return false;
    if (oldRow < 0 || oldGroup == target) return true; // not shown before, or staying put
    const QModelIndex from = index(topRow(oldGroup), 0);
    if (!shown) {
        beginRemoveRows(from, oldRow, oldRow);
        m_children[oldGroup].removeAt(oldRow);
        m_where.remove(user);
        endRemoveRows();
        return true;
    }
    QList<User *> &rows = m_children[target];
    const int newRow =
        int(std::lower_bound(rows.begin(), rows.end(), user, &OutlineViewDataSource::userLessThan) -
            rows.begin());
    if (!beginMoveRows(from, oldRow, oldRow, index(targetRow, 0), newRow)) return false;
    m_children[oldGroup].removeAt(oldRow);
    rows.insert(newRow, user);
    m_where.insert(user, target);
    endMoveRows();
    return true;
}

// --- following the store ---

void OutlineViewDataSource::watch(ManagedObject *object) {
    if (auto *user = dynamic_cast<User *>(object)) {
        if (m_watchedUsers.contains(user)) return;
        m_watchedUsers.insert(user, user);
    } else if (!dynamic_cast<Group *>(object)) {
        return;
    }
    connect(object, &ManagedObject::attributeChanged, this,
            [this, object](const QString &key, const QVariant &oldValue) {
                attributeChanged(object, key, oldValue);
            });
}

void OutlineViewDataSource::attributeChanged(ManagedObject *object, const QString &key,
                                             const QVariant &oldValue) {
    if (auto *group = dynamic_cast<Group *>(object)) {
        if (key == QLatin1String("name")) {
            touchTop();
            rowChanged(group);
        }
        return;
    }
    auto *user = static_cast<User *>(object);
    if (key == QLatin1String("group")) {
        touch(dynamic_cast<Group *>(oldValue.value<QObject *>()));
        touch(cachedGroupOf(user));
        touch(user->group());
    } else if (key == QLatin1String("removed") || key == QLatin1String("userOffline")) {
        touch(cachedGroupOf(user));
        touch(user->group());
        rowChanged(user);
    } else if (key == QLatin1String("name") || key == QLatin1String("status") ||
               key == QLatin1String("statusString") || key == QLatin1String("icon")) {
        rowChanged(user);
    }
}

void OutlineViewDataSource::objectInserted(ManagedObject *object) {
    watch(object);
    if (dynamic_cast<Group *>(object))
        touchTop();
    else if (auto *user = dynamic_cast<User *>(object))
        touch(user->group());
}

void OutlineViewDataSource::objectDeleted(ManagedObject *object) {
    if (auto *group = dynamic_cast<Group *>(object)) {
        if (m_children.contains(group)) {
            m_needsReload = true;
            scheduleResort();
        }
    } else if (auto *user = dynamic_cast<User *>(object)) {
        touch(cachedGroupOf(user));
        m_watchedUsers.remove(user);
    }
}

void OutlineViewDataSource::rowChanged(const TreeItem *item) {
    const QModelIndex index = indexForItem(item);
    if (index.isValid()) emit dataChanged(index, index);
}

void OutlineViewDataSource::touch(Group *group) {
    if (!group) return;
    m_touched.insert(group);
    scheduleResort();
}

void OutlineViewDataSource::touchTop() {
    m_topTouched = true;
    scheduleResort();
}

void OutlineViewDataSource::haveToResortGroup(Group *group) { touch(group); }

void OutlineViewDataSource::scheduleResort() {
    // Each change puts the re-sort off until the burst is over, but never for long.
    if (!m_timer->isActive()) {
        m_firstPending.start();
        m_timer->start();
    } else if (m_firstPending.elapsed() < ResortMaxDelayMs) {
        m_timer->start();
    }
}

bool OutlineViewDataSource::resortPending() const { return m_timer->isActive(); }

void OutlineViewDataSource::delayedGroupResort() {
    m_timer->stop();
    const bool top = m_topTouched;
    const QSet<Group *> touched = m_touched;
    m_topTouched = false;
    m_touched.clear();
    // A group the rows do not hold, or one deleted, cannot be re-sorted alone.
    bool reload = m_needsReload;
    for (Group *group : touched)
        if (group->isDeleted() ? m_children.contains(group) : (!m_children.contains(group) && !top))
            reload = true;
    if (reload) {
        reloadData();
        return;
    }
    if (top) syncTop();
    for (Group *group : touched)
        if (m_children.contains(group)) syncChildren(group);
    outlineViewSelectionDidChange();
    emit treeUpdated();
}

void OutlineViewDataSource::syncChildren(Group *group) {
    const int top = topRow(group);
    if (top < 0) return;
    const QModelIndex parent = index(top, 0);
    QList<User *> &current = m_children[group];
    const QList<User *> target = shownUsers(group);
    if (current == target) return;
    const QSet<User *> wanted(target.begin(), target.end());

    // Rows that go, in runs from the end.
    for (int last = int(current.size()) - 1; last >= 0;) {
        if (wanted.contains(current.at(last))) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !wanted.contains(current.at(first - 1))) --first;
        beginRemoveRows(parent, first, last);
        for (int i = first; i <= last; ++i)
            if (m_where.value(current.at(i)) == group) m_where.remove(current.at(i));
        current.remove(first, last - first + 1);
        endRemoveRows();
        last = first - 1;
    }

    // The rows that stay, in their new order.
    const QSet<User *> staying(current.begin(), current.end());
    QList<User *> order;
    for (User *user : target)
        if (staying.contains(user)) order.append(user);
    if (order != current) {
        const QList<QPersistentModelIndex> parents{QPersistentModelIndex(parent)};
        emit layoutAboutToBeChanged(parents, QAbstractItemModel::VerticalSortHint);
        QModelIndexList from, to;
        for (const QModelIndex &index : persistentIndexList()) {
            if (index.internalPointer() != group) continue;
            from << index;
            to << createIndex(int(order.indexOf(current.value(index.row()))), index.column(), group);
        }
        current = order;
        changePersistentIndexList(from, to);
        emit layoutChanged(parents, QAbstractItemModel::VerticalSortHint);
    }

    // Rows that come, in runs.
    for (int first = 0; first < target.size();) {
        if (staying.contains(target.at(first))) {
            ++first;
            continue;
        }
        int last = first;
        while (last + 1 < target.size() && !staying.contains(target.at(last + 1))) ++last;
        beginInsertRows(parent, first, last);
        for (int i = first; i <= last; ++i) {
            current.insert(i, target.at(i));
            m_where.insert(target.at(i), group);
        }
        endInsertRows();
        first = last + 1;
    }
}

void OutlineViewDataSource::syncTop() {
    const QList<Group *> target = fetchGroups();
    if (target == m_groups) return;
    const QSet<Group *> wanted(target.begin(), target.end());

    for (int last = int(m_groups.size()) - 1; last >= 0;) {
        if (wanted.contains(m_groups.at(last))) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !wanted.contains(m_groups.at(first - 1))) --first;
        const QList<Group *> gone = m_groups.mid(first, last - first + 1);
        beginRemoveRows(QModelIndex(), first, last);
        m_groups.remove(first, last - first + 1);
        endRemoveRows();
        for (Group *group : gone) {
            for (User *user : m_children.value(group))
                if (m_where.value(user) == group) m_where.remove(user);
            m_children.remove(group);
        }
        last = first - 1;
    }

    const QSet<Group *> staying(m_groups.begin(), m_groups.end());
    QList<Group *> order;
    for (Group *group : target)
        if (staying.contains(group)) order.append(group);
    if (order != m_groups) {
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        QModelIndexList from, to;
        for (const QModelIndex &index : persistentIndexList()) {
            if (index.internalPointer()) continue; // users keep their rows under their group
            from << index;
            to << createIndex(int(order.indexOf(m_groups.value(index.row()))), index.column());
        }
        m_groups = order;
        changePersistentIndexList(from, to);
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    for (int first = 0; first < target.size();) {
        if (staying.contains(target.at(first))) {
            ++first;
            continue;
        }
        int last = first;
        while (last + 1 < target.size() && !staying.contains(target.at(last + 1))) ++last;
        for (int i = first; i <= last; ++i) {
            const QList<User *> users = shownUsers(target.at(i));
            for (User *user : users) m_where.insert(user, target.at(i));
            m_children.insert(target.at(i), users);
        }
        beginInsertRows(QModelIndex(), first, last);
        for (int i = first; i <= last; ++i) m_groups.insert(i, target.at(i));
        endInsertRows();
        first = last + 1;
    }
}

void OutlineViewDataSource::reloadData() {
    m_timer->stop();
    m_touched.clear();
    m_topTouched = false;
    m_needsReload = false;
    const QList<TreeItem *> selection = storeSelection();
    beginResetModel();
    rebuild();
    endResetModel();
    restoreSelection(selection);
    outlineViewSelectionDidChange();
    emit treeUpdated();
}

void OutlineViewDataSource::groupRenaimingFinished() { reloadData(); }

void OutlineViewDataSource::hideOfflineChanged() {
    // Offline users without a group would show nowhere once they are shown at all.
    if (m_context)
        for (User *user : m_context->fetch<User>([](const User *u) {
                 return u->userOffline() && !u->group() && !u->removed() && !u->isDeleted();
             }))
            user->setGroup(Group::general(m_context));
    updatePredicate();
    reloadData();
}

// --- selection ---

void OutlineViewDataSource::setOutlineView(QTreeView *view) {
    m_outlineView = view;
    if (!view) return;
    view->setModel(this);
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &OutlineViewDataSource::outlineViewSelectionDidChange);
}

QList<TreeItem *> OutlineViewDataSource::selectedItems() const {
    QList<TreeItem *> items;
    if (!m_outlineView || !m_outlineView->selectionModel()) return items;
    QModelIndexList rows = m_outlineView->selectionModel()->selectedRows(0);
    // Row order: a group, then its users.
    auto key = [](const QModelIndex &index) {
        return index.parent().isValid() ? std::pair(index.parent().row(), index.row())
                                        : std::pair(index.row(), -1);
    };
    std::sort(rows.begin(), rows.end(),
              [&](const QModelIndex &a, const QModelIndex &b) { return key(a) < key(b); });
    for (const QModelIndex &index : rows)
        if (TreeItem *item = itemForIndex(index)) items.append(item);
    return items;
}

QList<TreeItem *> OutlineViewDataSource::storeSelection() const { return selectedItems(); }

void OutlineViewDataSource::restoreSelection(const QList<TreeItem *> &items) {
    if (!m_outlineView || !m_outlineView->selectionModel()) return;
    QItemSelection selection;
    for (TreeItem *item : items) {
        const QModelIndex index = indexForItem(item);
        if (index.isValid()) selection.select(index, index);
    }
    m_outlineView->selectionModel()->select(selection,
                                            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void OutlineViewDataSource::outlineViewSelectionDidChange() {
    Flags flags;
    const QList<TreeItem *> items = selectedItems();
    if (items.size() == 1) {
        if (auto *group = dynamic_cast<Group *>(items.first())) {
            flags.group = true;
            flags.emptyGroup = shownUsers(group).isEmpty();
            const Me *me = Me::current();
            for (User *user : group->users())
                if (!user->removed() && !user->userOffline() && !user->isDeleted() && user != me) {
                    flags.groupConversation = true;
                    break;
                }
        } else if (auto *user = dynamic_cast<User *>(items.first())) {
            flags.user = true;
            flags.conversation = true;
            flags.onlineUser = !user->userOffline();
        }
    }
    if (flags == m_flags) return;
    m_flags = flags;
    emit selectionFlagsChanged();
}
