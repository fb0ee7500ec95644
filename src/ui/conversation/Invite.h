#pragma once

#include <QList>
#include <QObject>
#include <QSet>

#include <functional>
#include <memory>

class QDialog;
class QWidget;
class SelectionTree;
class TreeItem;
class User;

namespace Ui {
class Invite;
} // namespace Ui

// The sheet that picks users to invite into a conversation or a call: the user tree with check
// boxes, offering only online users outside the exclusion. Add hands over the ticked users,
// Close (or Escape) none; either way `actionOnClose` runs once, after the sheet is gone. With a
// live call in the conversation a note says that the invited users join the call too.
//
// The sheet is window-modal on its window (application-modal without one) and never runs a
// nested event loop. The controller belongs to its sheet and is deleted with it.
class Invite : public QObject {
    Q_OBJECT
public:
    using ActionOnClose = std::function<void(const QList<User *> &invited)>;

    // Opens the sheet and returns its controller; the result comes through `actionOnClose`.
    static Invite *returnInvited(const QList<User *> &excluding, QWidget *forWindow, bool conversationHasCall,
                                 ActionOnClose actionOnClose);

    ~Invite() override;

    QDialog *window() const { return m_window; }
    SelectionTree *tree() const { return m_tree; }
    // The users ticked so far, in no particular order.
    QList<User *> selectedUsers() const;

    void AddButton();
    void CloseButton();

private:
    Invite(const QList<User *> &excluding, QWidget *forWindow, bool conversationHasCall,
           ActionOnClose action);
    void finish(bool add);

    std::unique_ptr<Ui::Invite> m_ui;
    QDialog *m_window = nullptr;
    SelectionTree *m_tree = nullptr;
    QSet<TreeItem *> m_selection;
    ActionOnClose m_actionOnClose;
    bool m_conversationHasCall = false;
    bool m_finished = false;
};
