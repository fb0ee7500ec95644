#pragma once

class Group;

// The main window's user tree as the model sees it. Installed by the application; without one
// (tests, headless runs) nothing is shown.
class UserTreeOutline {
public:
    virtual ~UserTreeOutline() = default;
    // A group was created: reload the tree and expand the group in it.
    virtual void reloadAndExpand(Group *group) = 0;
};
