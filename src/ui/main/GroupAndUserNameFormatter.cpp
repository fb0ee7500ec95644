#include "ui/main/GroupAndUserNameFormatter.h"

#include "ui/main/MainInterface.h"
#include "ui/main/OutlineViewDataSource.h"

#include <QLineEdit>
#include <QTimer>

const QString GroupAndUserNameFormatter::ForbiddenCharacters = QStringLiteral("%<>:\"/\\|?*");

GroupAndUserNameFormatter::GroupAndUserNameFormatter(bool forUser, QObject *parent)
    : QValidator(parent), m_forUser(forUser) {}

QString GroupAndUserNameFormatter::cleaned(const QString &string) {
    QString out;
    out.reserve(string.size());
    for (QChar c : string)
        if (!ForbiddenCharacters.contains(c)) out.append(c);
    return out;
}

QString GroupAndUserNameFormatter::stringForObjectValue(const QString &value) const {
    if (value.isNull()) return {};
    QString cleanedCopy;
    return isPartialStringValid(value, &cleanedCopy) ? value : cleanedCopy;
}

bool GroupAndUserNameFormatter::isPartialStringValid(const QString &partial, QString *newEditingString) const {
    if (!m_forUser) return true;
    const QString copy = cleaned(partial);
    if (copy.size() == partial.size()) return true;
    if (newEditingString) *newEditingString = copy;
    return false;
}

QString GroupAndUserNameFormatter::getObjectValue(const QString &string) const {
    return string.isEmpty() ? m_valueBefore : string;
}

void GroupAndUserNameFormatter::textShouldBeginEditing(const QString &current) { m_valueBefore = current; }

void GroupAndUserNameFormatter::textShouldEndEditing() {
    if (m_forUser) return;
    // After the edit is committed, so that the new name is the one sorted.
    QTimer::singleShot(0, [] {
        if (OutlineViewDataSource *tree = MainInterface::userListDataSource()) tree->groupRenaimingFinished();
    });
}

void GroupAndUserNameFormatter::attach(QLineEdit *field) {
    field->setValidator(this);
    textShouldBeginEditing(field->text());
    connect(field, &QLineEdit::editingFinished, this, [this, field] {
        const QString value = getObjectValue(field->text());
        if (value != field->text()) field->setText(value);
    });
}

QValidator::State GroupAndUserNameFormatter::validate(QString &input, int &pos) const {
    QString cleanedCopy;
    if (isPartialStringValid(input, &cleanedCopy)) return Acceptable;
    // The cursor stays after what it was after, less the characters taken out before it.
    pos = int(cleaned(input.left(pos)).size());
    input = cleanedCopy;
    return Acceptable;
}

void GroupAndUserNameFormatter::fixup(QString &input) const { input = stringForObjectValue(input); }
