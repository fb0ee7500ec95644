#pragma once

#include "ui/conversation/MessageWindowController.h"

#include <QList>
#include <QSet>

#include <memory>

class SelectionTree;
class TextViewForSending;
class TreeItem;
class User;

namespace Ui {
class MassMessage;
} // namespace Ui

// The mass-message composer: the user tree with check boxes, quick selections (nobody, the
// online users, everyone) and a compose field whose text goes to every chosen user as one mass
// message; the window closes after sending.
//
// The controller owns its window and deletes itself once the window has closed.
class MassMessage : public MessageWindowController {
    Q_OBJECT
public:
    // Quick-selection tags.
    enum SelectTag { SelectEveryoneTag = 0, SelectNobodyTag = 1, SelectOnlineTag = 2 };

    // The composer with these tree items (users and groups) chosen, the local user left out.
    explicit MassMessage(const QList<TreeItem *> &selection);
    ~MassMessage() override;

    // What the main window's command does: a composer for the selected rows, or, with none, for
    // the quick selection of the tag; shown.
    static MassMessage *openMassMessage(const QList<TreeItem *> &selectedRows, int tag);
    // The open composers, oldest first.
    static QList<MassMessage *> all();

    void showWindow();
    // Empties the selection, then chooses by tag: SelectNobodyTag nobody, SelectOnlineTag every
    // online user, any other tag every user; never the local user or removed users.
    void selectEveryone(int tag);

    // The chosen users, in no particular order.
    QList<User *> selectedUsers() const;
    const QSet<TreeItem *> &selection() const { return m_selection; }
    SelectionTree *tree() const { return m_tree; }
    TextViewForSending *messageTextView() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void windowWillClose();

    std::unique_ptr<Ui::MassMessage> m_ui;
    QSet<TreeItem *> m_selection;
    SelectionTree *m_tree = nullptr;
    bool m_closed = false;
};
