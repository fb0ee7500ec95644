#pragma once

#include <QString>
#include <QValidator>

class QLineEdit;

// The formatter and editing companion of a name field: user names lose the ten characters that
// other programs of the network cannot carry as soon as they are typed; an emptied name gives
// back the name before editing; the end of a group name's edit re-sorts the main tree.
//
// As a validator it cleans what is typed in place (the cursor kept where it was); attach() also
// remembers the text when editing begins. Owned by its field (or by whoever made it).
class GroupAndUserNameFormatter : public QValidator {
    Q_OBJECT
public:
    // Percent sign, less-than, greater-than, colon, double quote, slash, backslash, vertical
    // bar, question mark, asterisk.
    static const QString ForbiddenCharacters;

    explicit GroupAndUserNameFormatter(bool forUser, QObject *parent = nullptr);

    bool forUser() const { return m_forUser; }
    void setForUser(bool forUser) { m_forUser = forUser; }

    // The string with every forbidden character taken out.
    static QString cleaned(const QString &string);

    // A null string for a null value; a valid string as it is, otherwise its cleaned copy.
    QString stringForObjectValue(const QString &value) const;
    // Group names: always valid. User names: false with the cleaned copy in `newEditingString`
    // when a forbidden character was typed.
    bool isPartialStringValid(const QString &partial, QString *newEditingString) const;
    // The value of what was typed: an empty string keeps the value before editing.
    QString getObjectValue(const QString &string) const;
    // Editing begins: the text is remembered as the value before editing.
    void textShouldBeginEditing(const QString &current);
    // Editing ends: for group names the main tree re-sorts on the event loop's next turn.
    void textShouldEndEditing();
    QString valueBeforeEditing() const { return m_valueBefore; }

    // Installs this formatter on a field: validation as typed, the value before editing taken
    // when the field is given its text, and the old value back when it is left empty.
    void attach(QLineEdit *field);

    // QValidator.
    State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;

private:
    bool m_forUser;
    QString m_valueBefore;
};
