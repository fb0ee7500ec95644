#pragma once

#include "core/wire/PacketField.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <functional>

// The user-information block of "TSI": 23 positional values separated by 0x7C.
class UserInfoPacket {
public:
    // The local user's value of a User attribute by name; a null QString is a missing value.
    using UserInfoValues = std::function<QString(const QString &key)>;

    // The block: a string field in the legacy form when utf is false, a data field otherwise.
    static PacketField _myInfoFieldForUtf(const UserInfoValues &me, bool utf);
    // The "TSI" array for a requester; `me` also gives "pc" and "userId" of the local user.
    // An empty requester id leaves field 5 out, so no frame can be made of the array.
    static PacketArray MyUserInfoFor(const UserInfoValues &me, const QString &requesterUserId,
                                     bool requesterUtf8Compatible);
    // Attribute name -> value (17 keys), or empty when the block is not usable.
    static QMap<QString, QString> ParceUserInfo(const QByteArray &block);
};
