#include "ui/main/CheckBoxSubClass.h"

#include "core/model/Group.h"
#include "core/model/User.h"
#include "ui/main/OutlineViewDataSource.h"

CheckBoxSubClass::CheckBoxSubClass(OutlineViewDataSource *outline, QSet<TreeItem *> *selection,
                                   const void *window, QObject *parent)
    : QObject(parent), m_outline(outline), m_selection(selection), m_window(window) {
    m_observer = NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("selectionUpdated"), nullptr, [this](const Notification &) { emit changed(); });
}

CheckBoxSubClass::~CheckBoxSubClass() { NotificationCenter::defaultCenter().removeObserver(m_observer); }

QList<User *> CheckBoxSubClass::getSubSetForGroup(const Group *group) const {
    return m_outline ? m_outline->shownUsers(group) : QList<User *>();
}

Qt::CheckState CheckBoxSubClass::state(const TreeItem *item) const {
    if (!m_selection || !item) return Qt::Unchecked;
    auto *key = const_cast<TreeItem *>(item);
    if (const auto *group = dynamic_cast<const Group *>(item)) {
        if (m_selection->contains(key)) return Qt::Checked; // until replaced by its users
        const QList<User *> shown = getSubSetForGroup(group);
        int chosen = 0;
        for (User *user : shown) chosen += m_selection->contains(user);
        if (chosen == 0) return Qt::Unchecked;
        return chosen == shown.size() ? Qt::Checked : Qt::PartiallyChecked;
    }
    return m_selection->contains(key) ? Qt::Checked : Qt::Unchecked;
}

void CheckBoxSubClass::click(TreeItem *item, Qt::CheckState newState) {
    if (!m_selection || !item) return;
    const bool on = newState != Qt::Unchecked;
    if (auto *group = dynamic_cast<Group *>(item)) {
        updateChildsState(group, on);
    } else if (on) {
        m_selection->insert(item);
    } else {
        m_selection->remove(item);
    }
    posted();
}

void CheckBoxSubClass::updateChildsState(Group *group, bool on) {
    if (!m_selection || !group) return;
    m_selection->remove(group);
    for (User *user : getSubSetForGroup(group)) {
        if (on)
            m_selection->insert(user);
        else
            m_selection->remove(user);
    }
}

void CheckBoxSubClass::replaceGroupsByUsers() {
    if (!m_selection) return;
    QList<Group *> groups;
    for (TreeItem *item : std::as_const(*m_selection))
        if (auto *group = dynamic_cast<Group *>(item)) groups.append(group);
    for (Group *group : groups) updateChildsState(group, true);
}

void CheckBoxSubClass::posted() {
    NotificationCenter::defaultCenter().post(QStringLiteral("selectionUpdated"), m_window);
}
