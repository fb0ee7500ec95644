#pragma once

#include <QPoint>

#include <functional>

class QWidget;
class User;

// A card about a user shown like a tool tip while the pointer rests on the user's row. The
// user-information window implements it and installs a maker; until one is installed the tree
// shows a plain tool tip instead.
//
// At most one card exists in the process: the current one. Cards own themselves; closeToolTip()
// ends the card and drops it as the current one.
class UserCard {
public:
    virtual ~UserCard();

    virtual User *user() const = 0;
    virtual QWidget *window() const = 0;
    // Shows the card with its top left corner at this screen point, without taking the focus.
    virtual void showAsToolTip(const QPoint &screenOrigin) = 0;
    // Closes the card now; it is no longer the current card.
    virtual void closeToolTip() = 0;
    // The pointer left the row: the card closes unless the pointer went onto the card.
    virtual void shouldCloseToolTip() = 0;

    // How cards are made; null (the default) makes none.
    using Maker = std::function<UserCard *(User *user)>;
    static void setMaker(Maker maker);
    static bool hasMaker();
    // A new card for the user, made the current one (the previous one closed); null without a maker.
    static UserCard *make(User *user);

    static UserCard *current();
    // Closes the current card, if any.
    static void closeCurrent();
    // A card that ends by itself drops itself here.
    static void forget(UserCard *card);
};
