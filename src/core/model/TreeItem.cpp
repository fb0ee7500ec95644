#include "core/model/TreeItem.h"

void TreeItem::setIcon(const QString &icon) {
    if (icon == m_icon) return;
    const QString old = m_icon;
    m_icon = icon;
    notifyTransientChange(QStringLiteral("icon"), old);
}
