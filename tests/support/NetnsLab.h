#pragma once

// A small lab of Linux network namespaces for end-to-end tests: copies on one bridge in
// 198.18.0.0/24 (broadcast 198.18.0.255), optionally a router namespace leading to a second
// bridge in 198.18.1.0/24 with remote copies behind it. Each copy has its own HOME and XDG
// folders, kept for the lab's lifetime so a copy can be stopped and started on the same store.
// Everything the lab made (processes, namespaces, bridges) goes when it is destroyed, also when
// the test fails; a lab also sweeps what crashed earlier runs left behind.
#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class NetnsLab {
public:
    // Root and the `ip` tool; otherwise false with the reason (tests GTEST_SKIP with it).
    static bool available(QString *why = nullptr);
    // `nft` for blackhole().
    static bool haveNft();

    // Creates `copies` copies on the first bridge ("a", "b", ...). Check ok() afterwards.
    explicit NetnsLab(int copies = 0);
    ~NetnsLab();
    NetnsLab(const NetnsLab &) = delete;
    NetnsLab &operator=(const NetnsLab &) = delete;

    bool ok() const { return error_.isEmpty(); }
    // The first setup failure, with the failing command's output.
    QString error() const { return error_; }

    // A copy on the first bridge, 198.18.0.<n>; returns its index, or -1.
    int addCopy(const QString &name = {});
    // The router between the two bridges (198.18.0.254 and 198.18.1.254); made once.
    int addRouter();
    // A copy on the second bridge, 198.18.1.<n>, reached through the router (added if missing).
    int addRemoteCopy(const QString &name = {});

    int count() const { return int(nodes_.size()); }
    QString ns(int i) const;
    QString address(int i) const;
    // The copy's folder root: home/, config/, data/, run/ and home/Downloads.
    QString folder(int i) const;
    // Every namespace and bridge of this lab, for tests of the lab itself.
    QStringList namespaces() const;
    QStringList bridges() const { return bridges_; }

    bool linkDown(int i);
    bool linkUp(int i);
    // Drops everything going in, out of or through the namespace (loopback stays).
    bool blackhole(int i);
    bool unblackhole(int i);

    // Starts a program inside the namespace with the copy's folders. The lab owns the process
    // and ends it at destruction; stop() ends it earlier.
    QProcess *run(int i, const QString &program, const QStringList &args = {},
                  const QProcessEnvironment &env = {});
    // SIGTERM, then SIGKILL after graceMs. The folders stay for a restart.
    void stop(QProcess *process, int graceMs = 3000);

    struct Result {
        int exitCode = -1; // -1: did not start, crashed or timed out
        QByteArray output; // stdout and stderr together
    };
    // A one-off command inside the namespace, bounded by timeoutMs.
    Result exec(int i, const QStringList &command, int timeoutMs = 10000,
                const QProcessEnvironment &env = {});
    // The same in the host namespace (only for the lab's own ip/nft calls and checks).
    static Result host(const QStringList &command, int timeoutMs = 10000);

    // Removes namespaces and bridges of this naming scheme whose owner pid is gone; returns how
    // many it removed. Run by every constructor.
    static int sweepLeftovers();

private:
    struct Node {
        QString name;
        QString ns;
        QString address;
        std::unique_ptr<QTemporaryDir> dir;
    };
    int addNode(const QString &name, const QString &address, int bridge);
    bool addLeg(int node, int bridge, const QString &dev, const QString &cidr);
    bool ensureBridge(int bridge);
    bool step(const QStringList &command);
    bool stepIn(int i, const QStringList &command);
    bool valid(int i) const { return i >= 0 && i < count(); }
    QString linkName(char kind, int index) const;
    QProcessEnvironment copyEnvironment(int i, const QProcessEnvironment &extra) const;

    QString tag_; // "<pid>-<lab>", part of every name
    QString error_;
    std::vector<Node> nodes_;
    QStringList bridges_;
    int legs_ = 0;
    int router_ = -1;
    int localCount_ = 0;
    int remoteCount_ = 0;
    std::vector<QProcess *> processes_;
};
