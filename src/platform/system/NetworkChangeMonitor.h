#pragma once

#include <QObject>

#include <cstddef>

class QSocketNotifier;

// Tells when links or IPv4 addresses change, from an rtnetlink socket (works inside network
// namespaces). One per process; silent where the socket cannot be opened.
class NetworkChangeMonitor : public QObject {
    Q_OBJECT
public:
    static NetworkChangeMonitor &shared();
    bool isActive() const { return fd_ >= 0; }
    ~NetworkChangeMonitor() override;

    // Whether a batch of netlink messages (as read from the socket, aligned for nlmsghdr)
    // holds a link or address change. Lengths inside the batch are checked, never trusted.
    static bool isRelevantBatch(const void *data, std::size_t length);

signals:
    void changed();

private:
    NetworkChangeMonitor();
    void readEvents();

    int fd_ = -1;
    QSocketNotifier *notifier_ = nullptr;
};
