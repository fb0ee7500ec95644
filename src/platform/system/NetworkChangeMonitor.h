#pragma once

#include "platform/system/NetlinkChangeFilter.h"

#include <QObject>

class QSocketNotifier;

// Tells when an IPv4 address is added or removed or a link goes up or down, from an rtnetlink
// socket (works inside network namespaces). Notices that change neither (Wi-Fi scan results,
// address lifetime refreshes) are not reported. One per process; silent where the socket
// cannot be opened.
class NetworkChangeMonitor : public QObject {
    Q_OBJECT
public:
    static NetworkChangeMonitor &shared();
    bool isActive() const { return fd_ >= 0; }
    ~NetworkChangeMonitor() override;

signals:
    void changed();

private:
    NetworkChangeMonitor();
    void readEvents();
    // Learns the links and addresses as they are now (at start, and after notices were lost).
    void learnState();

    int fd_ = -1;
    QSocketNotifier *notifier_ = nullptr;
    NetlinkChangeFilter filter_;
};
