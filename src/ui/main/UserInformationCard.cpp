#include "ui/main/UserInformationCard.h"

#include "core/model/User.h"
#include "ui/userinfo/UserInformationWindow.h"

UserInformationCard::UserInformationCard(User *user) : m_user(user) {}

UserInformationCard::~UserInformationCard() = default;

void UserInformationCard::install() {
    UserCard::setMaker([](User *user) { return new UserInformationCard(user); });
}

User *UserInformationCard::user() const {
    // A card the window closed by itself stands for nobody.
    if (!m_card || UserInformationWindow::currentCard() != m_card) return nullptr;
    return m_user.data();
}

QWidget *UserInformationCard::window() const { return m_card ? m_card->window() : nullptr; }

void UserInformationCard::showAsToolTip(const QPoint &screenOrigin) {
    m_card = UserInformationWindow::showCardForUser(m_user.data(), screenOrigin);
}

void UserInformationCard::closeToolTip() {
    if (m_card && UserInformationWindow::currentCard() == m_card) UserInformationWindow::closeToolTip();
    UserCard::forget(this);
    delete this;
}

void UserInformationCard::shouldCloseToolTip() {
    if (m_card) m_card->shouldCloseToolTip();
}
