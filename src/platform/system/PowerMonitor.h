#pragma once

#include <QObject>

// Sleep and wake from logind's PrepareForSleep signal on the system bus. While awake it holds
// a delay inhibitor lock, so the machine waits (bounded by logind) until releaseSleepDelay()
// after willSleep, giving "UO" time to leave. Silent where there is no logind.
class PowerMonitor : public QObject {
    Q_OBJECT
public:
    static PowerMonitor &shared();
    bool isActive() const { return active_; }
    // Called once the sleep work is done; the lock is taken again on wake.
    void releaseSleepDelay();
    ~PowerMonitor() override;

signals:
    void willSleep();
    void didWake();

private:
    PowerMonitor();
    bool active_ = false;
    int inhibitorFd_ = -1;
};
