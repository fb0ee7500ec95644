#pragma once

#include "platform/store/ManagedObjectModel.h"

// The managed object model "UserList": users and groups (table tree_items), log entries with
// their kinds (log_entries), held messages (held_messages), chat rooms (chats), and the join
// tables of log entries and held messages with their users.
class UserListModel {
public:
    static const ManagedObjectModel &model();
};
