#pragma once

#include "ui/main/UserCard.h"

#include <QPointer>

class UserInformationWindow;

// The user information window's card as the tree's user card. The window keeps its own current
// card and may close it by itself (the pointer left it); this card then no longer stands for
// anyone, so the tree makes a new one at the next hover.
//
// Owns itself: it ends when closed.
class UserInformationCard : public UserCard {
public:
    explicit UserInformationCard(User *user);
    ~UserInformationCard() override;

    // Makes the tree's cards from the user information window.
    static void install();

    User *user() const override;
    QWidget *window() const override;
    void showAsToolTip(const QPoint &screenOrigin) override;
    void closeToolTip() override;
    void shouldCloseToolTip() override;

private:
    QPointer<User> m_user;
    QPointer<UserInformationWindow> m_card;
};
