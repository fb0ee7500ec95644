#pragma once

#include <QObject>

class QSocketNotifier;

// Tells when links or IPv4 addresses change, from an rtnetlink socket (works inside network
// namespaces). One per process; silent where the socket cannot be opened.
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

    int fd_ = -1;
    QSocketNotifier *notifier_ = nullptr;
};
