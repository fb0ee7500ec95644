#pragma once

#include <QPixmap>

class Chat;
class User;

// The image a minimized conversation shows: the application icon with the user's status image
// (a room: the group image) in its lower-right quarter.
class DockIcon {
public:
    static constexpr int Size = 128;

    static QPixmap dockIcon(const User *user);
    static QPixmap dockIcon(const Chat *chat);

private:
    static QPixmap withBadge(const QString &imageName);
};
