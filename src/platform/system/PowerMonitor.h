#pragma once

#include <QDBusConnection>
#include <QObject>

// Sleep and wake from logind's PrepareForSleep signal on the system bus. While awake it holds
// a delay inhibitor lock, so the machine waits (bounded by logind) until releaseSleepDelay()
// after willSleep, giving "UO" time to leave. Silent where there is no logind.
class PowerMonitor : public QObject {
    Q_OBJECT
public:
    static PowerMonitor &shared();
    // On another bus than the system bus (tests run a private one with a stand-in logind).
    explicit PowerMonitor(const QDBusConnection &bus);
    bool isActive() const { return active_; }
    // Called once the sleep work is done; the lock is taken again on wake.
    void releaseSleepDelay();
    ~PowerMonitor() override;

signals:
    void willSleep();
    void didWake();

private slots:
    void onPrepareForSleep(bool start);

private:
    PowerMonitor();
    void takeSleepDelay();

    QDBusConnection bus_;
    bool active_ = false;
    bool asleep_ = false;
    bool requesting_ = false;
    int inhibitorFd_ = -1;
};
