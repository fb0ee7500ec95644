#include "ui/main/UserCard.h"

namespace {

UserCard *&currentCard() {
    static UserCard *card = nullptr;
    return card;
}

UserCard::Maker &maker() {
    static UserCard::Maker m;
    return m;
}

} // namespace

UserCard::~UserCard() { forget(this); }

void UserCard::setMaker(Maker m) { maker() = std::move(m); }

bool UserCard::hasMaker() { return bool(maker()); }

UserCard *UserCard::make(User *user) {
    if (!maker() || !user) return nullptr;
    closeCurrent();
    UserCard *card = maker()(user);
    currentCard() = card;
    return card;
}

UserCard *UserCard::current() { return currentCard(); }

void UserCard::closeCurrent() {
    UserCard *card = currentCard();
    currentCard() = nullptr;
    if (card) card->closeToolTip();
}

void UserCard::forget(UserCard *card) {
    if (currentCard() == card) currentCard() = nullptr;
}
