#include "support/NetnsLab.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace {

// Names: namespaces "mv-<name>-<pid>-<lab>", host links "mv<b|h><pid>-<lab><index>" (bridge
// or host end of a veth pair), at most 14 characters, so the 15-character limit holds for any
// pid. The pid lets a later run tell a leftover from a lab that is still alive.
const QRegularExpression kNamespaceName(QStringLiteral("^mv-[a-z0-9]+-(\\d+)-[0-9a-z]$"));
const QRegularExpression kLinkName(QStringLiteral("^mv[bh](\\d+)-[0-9a-z]\\d{1,2}$"));
const QString kBlackholeTable = QStringLiteral("mvblackhole");
constexpr int kMaxLinks = 99;

std::atomic<int> labSequence{0};

bool pidAlive(qint64 pid) { return pid > 0 && QFile::exists(QStringLiteral("/proc/%1").arg(pid)); }

QString subnet(int bridge) { return QStringLiteral("198.18.%1.").arg(bridge); }

NetnsLab::Result runBounded(const QString &program, const QStringList &args, int timeoutMs,
                            const QProcessEnvironment &env) {
    NetnsLab::Result result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!env.isEmpty()) process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForStarted(5000)) {
        result.output = process.errorString().toUtf8();
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
        result.output = process.readAll() + "\n(timed out)";
        return result;
    }
    result.output = process.readAll();
    if (process.exitStatus() == QProcess::NormalExit) result.exitCode = process.exitCode();
    return result;
}

QStringList existingNamespaces() {
    QStringList names;
    const auto listed =
        NetnsLab::host({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("list")});
    for (const QByteArray &line : listed.output.split('\n')) {
        const QString name = QString::fromUtf8(line).section(QLatin1Char(' '), 0, 0).trimmed();
        if (!name.isEmpty()) names << name;
    }
    return names;
}

QStringList existingLinks() {
    QStringList names;
    const auto listed = NetnsLab::host(
        {QStringLiteral("ip"), QStringLiteral("-o"), QStringLiteral("link"), QStringLiteral("show")});
    for (const QByteArray &line : listed.output.split('\n')) {
        // "7: name@peer: <FLAGS> ..."
        QString name = QString::fromUtf8(line).section(QLatin1Char(':'), 1, 1).trimmed();
        name = name.section(QLatin1Char('@'), 0, 0);
        if (!name.isEmpty()) names << name;
    }
    return names;
}

// Processes still inside a namespace (children of the copies, say) would keep it alive.
void killInside(const QString &ns) {
    const auto pids =
        NetnsLab::host({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("pids"), ns});
    for (const QByteArray &line : pids.output.split('\n')) {
        bool isNumber = false;
        const qint64 pid = line.trimmed().toLongLong(&isNumber);
        if (isNumber && pid > 1 && pid != getpid()) ::kill(pid_t(pid), SIGKILL);
    }
}

void removeNamespace(const QString &ns) {
    killInside(ns);
    NetnsLab::host({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("del"), ns});
}

void removeLink(const QString &link) {
    NetnsLab::host({QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("del"), link});
}

} // namespace

bool NetnsLab::available(QString *why) {
    QString reason;
    if (geteuid() != 0)
        reason = QStringLiteral("needs root (network namespaces)");
    else if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty() &&
             QStandardPaths::findExecutable(QStringLiteral("ip"),
                                            {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                 .isEmpty())
        reason = QStringLiteral("needs the ip tool (iproute2)");
    if (why) *why = reason;
    return reason.isEmpty();
}

bool NetnsLab::haveNft() {
    return !QStandardPaths::findExecutable(QStringLiteral("nft")).isEmpty() ||
           !QStandardPaths::findExecutable(QStringLiteral("nft"),
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                .isEmpty();
}

NetnsLab::NetnsLab(int copies) {
    const int seq = labSequence++ % 36;
    tag_ = QStringLiteral("%1-%2").arg(getpid()).arg(QChar(seq < 10 ? '0' + seq : 'a' + seq - 10));
    QString why;
    if (!available(&why)) {
        error_ = why;
        return;
    }
    sweepLeftovers();
    for (int i = 0; i < copies && ok(); ++i) addCopy();
}

NetnsLab::~NetnsLab() {
    for (QProcess *process : processes_)
        if (process->state() != QProcess::NotRunning) process->terminate();
    QDeadlineTimer grace(3000);
    for (QProcess *process : processes_)
        if (process->state() != QProcess::NotRunning)
            process->waitForFinished(int(qMax<qint64>(grace.remainingTime(), 1)));
    for (QProcess *process : processes_) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(2000);
        }
        delete process;
    }
    for (const Node &node : nodes_) removeNamespace(node.ns);
    // The host ends of the veth pairs went with their namespaces; the bridges are ours to remove.
    for (const QString &bridge : bridges_) removeLink(bridge);
}

int NetnsLab::sweepLeftovers() {
    auto ownerGone = [](const QRegularExpression &scheme, const QString &name) {
        const auto match = scheme.match(name);
        return match.hasMatch() && !pidAlive(match.captured(1).toLongLong());
    };
    int removed = 0;
    for (const QString &ns : existingNamespaces())
        if (ownerGone(kNamespaceName, ns)) {
            removeNamespace(ns);
            ++removed;
        }
    for (const QString &link : existingLinks())
        if (ownerGone(kLinkName, link)) {
            removeLink(link);
            ++removed;
        }
    return removed;
}

NetnsLab::Result NetnsLab::host(const QStringList &command, int timeoutMs) {
    if (command.isEmpty()) return {};
    return runBounded(command.first(), command.mid(1), timeoutMs, {});
}

QString NetnsLab::ns(int i) const { return valid(i) ? nodes_[i].ns : QString(); }
QString NetnsLab::address(int i) const { return valid(i) ? nodes_[i].address : QString(); }
QString NetnsLab::folder(int i) const { return valid(i) ? nodes_[i].dir->path() : QString(); }

QStringList NetnsLab::namespaces() const {
    QStringList names;
    for (const Node &node : nodes_) names << node.ns;
    return names;
}

QString NetnsLab::linkName(char kind, int index) const {
    return QStringLiteral("mv%1%2%3").arg(QLatin1Char(kind)).arg(tag_).arg(index);
}

bool NetnsLab::step(const QStringList &command) {
    if (!ok()) return false;
    const Result result = host(command);
    if (result.exitCode != 0)
        error_ = QStringLiteral("'%1' failed: %2")
                     .arg(command.join(QLatin1Char(' ')), QString::fromUtf8(result.output));
    return ok();
}

bool NetnsLab::stepIn(int i, const QStringList &command) {
    return step(QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), ns(i)} +
                command);
}

bool NetnsLab::ensureBridge(int bridge) {
    while (ok() && bridges_.size() <= bridge) {
        const QString name = linkName('b', int(bridges_.size()));
        if (!step({"ip", "link", "add", name, "type", "bridge"})) return false;
        bridges_ << name;
        step({"ip", "link", "set", name, "up"});
    }
    return ok();
}

bool NetnsLab::addLeg(int node, int bridge, const QString &dev, const QString &cidr) {
    if (!ensureBridge(bridge)) return false;
    if (legs_ >= kMaxLinks) {
        error_ = QStringLiteral("too many links in one lab");
        return false;
    }
    const QString hostEnd = linkName('h', legs_++);
    // The namespace end is made inside the namespace, so its name never meets the host's.
    return step({"ip", "link", "add", hostEnd, "type", "veth", "peer", "name", dev, "netns", ns(node)}) &&
           step({"ip", "link", "set", hostEnd, "master", bridges_[bridge]}) &&
           step({"ip", "link", "set", hostEnd, "up"}) &&
           stepIn(node, {"ip", "addr", "add", cidr, "brd", "+", "dev", dev}) &&
           stepIn(node, {"ip", "link", "set", dev, "up"});
}

int NetnsLab::addNode(const QString &name, const QString &address, int bridge) {
    if (!ok()) return -1;
    Node node;
    node.name = name;
    node.ns = QStringLiteral("mv-%1-%2").arg(name, tag_);
    node.address = address;
    node.dir = std::make_unique<QTemporaryDir>();
    if (!node.dir->isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return -1;
    }
    const QString root = node.dir->path();
    for (const char *sub : {"home/Downloads", "config", "data", "run"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // QStandardPaths finds the download folder in user-dirs.dirs.
    QFile dirs(root + QStringLiteral("/config/user-dirs.dirs"));
    if (dirs.open(QIODevice::WriteOnly)) dirs.write("XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n");
    dirs.close();

    if (!step({"ip", "netns", "add", node.ns})) return -1;
    nodes_.push_back(std::move(node));
    const int index = count() - 1;
    stepIn(index, {"ip", "link", "set", "lo", "up"});
    addLeg(index, bridge, QStringLiteral("eth0"), address + QStringLiteral("/24"));
    return ok() ? index : -1;
}

int NetnsLab::addCopy(const QString &name) {
    const int k = localCount_;
    if (k >= 250) return -1;
    const QString label =
        name.isEmpty() ? (k < 26 ? QString(QChar('a' + k)) : QStringLiteral("c%1").arg(k)) : name;
    const int index = addNode(label, subnet(0) + QString::number(k + 1), 0);
    if (index < 0) return -1;
    ++localCount_;
    if (router_ >= 0) stepIn(index, {"ip", "route", "add", "198.18.1.0/24", "via", "198.18.0.254"});
    return ok() ? index : -1;
}

int NetnsLab::addRouter() {
    if (router_ >= 0) return router_;
    const int index = addNode(QStringLiteral("router"), subnet(0) + QStringLiteral("254"), 0);
    if (index < 0) return -1;
    router_ = index;
    addLeg(index, 1, QStringLiteral("eth1"), subnet(1) + QStringLiteral("254/24"));
    // Forwarding only in the router's own namespace, never on the host.
    stepIn(index, {"sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"});
    for (int i = 0; i < count() && ok(); ++i)
        if (i != router_ && nodes_[i].address.startsWith(subnet(0)))
            stepIn(i, {"ip", "route", "add", "198.18.1.0/24", "via", "198.18.0.254"});
    return ok() ? index : -1;
}

int NetnsLab::addRemoteCopy(const QString &name) {
    if (addRouter() < 0) return -1;
    const int k = remoteCount_;
    if (k >= 250) return -1;
    const QString label = name.isEmpty() ? QStringLiteral("r%1").arg(k + 1) : name;
    const int index = addNode(label, subnet(1) + QString::number(k + 1), 1);
    if (index < 0) return -1;
    ++remoteCount_;
    stepIn(index, {"ip", "route", "add", "default", "via", "198.18.1.254"});
    return ok() ? index : -1;
}

bool NetnsLab::linkDown(int i) {
    return valid(i) && exec(i, {"ip", "link", "set", "eth0", "down"}).exitCode == 0;
}

bool NetnsLab::linkUp(int i) {
    return valid(i) && exec(i, {"ip", "link", "set", "eth0", "up"}).exitCode == 0;
}

bool NetnsLab::blackhole(int i) {
    if (!valid(i)) return false;
    const QString rules =
        QStringLiteral("add table inet %1\n"
                       "add chain inet %1 in { type filter hook input priority -300; policy drop; }\n"
                       "add chain inet %1 out { type filter hook output priority -300; policy drop; }\n"
                       "add chain inet %1 through { type filter hook forward priority -300; policy drop; }\n"
                       "add rule inet %1 in iifname \"lo\" accept\n"
                       "add rule inet %1 out oifname \"lo\" accept\n")
            .arg(kBlackholeTable);
    return exec(i, {"nft", rules}).exitCode == 0;
}

bool NetnsLab::unblackhole(int i) {
    return valid(i) && exec(i, {"nft", "delete", "table", "inet", kBlackholeTable}).exitCode == 0;
}

QProcessEnvironment NetnsLab::copyEnvironment(int i, const QProcessEnvironment &extra) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString root = folder(i);
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/run"));
    env.insert(QStringLiteral("XDG_DOWNLOAD_DIR"), root + QStringLiteral("/home/Downloads"));
    env.insert(extra);
    return env;
}

QProcess *NetnsLab::run(int i, const QString &program, const QStringList &args,
                        const QProcessEnvironment &env) {
    if (!valid(i)) return nullptr;
    auto *process = new QProcess;
    processes_.push_back(process);
    process->setProcessEnvironment(copyEnvironment(i, env));
    process->setWorkingDirectory(folder(i) + QStringLiteral("/home"));
    // `ip netns exec` replaces itself with the program, so the pid is the program's own.
    process->start(QStringLiteral("ip"), QStringList{"netns", "exec", ns(i), program} + args);
    if (!process->waitForStarted(5000)) return nullptr;
    return process;
}

void NetnsLab::stop(QProcess *process, int graceMs) {
    if (!process || process->state() == QProcess::NotRunning) return;
    process->terminate();
    if (process->waitForFinished(graceMs)) return;
    process->kill();
    process->waitForFinished(2000);
}

NetnsLab::Result NetnsLab::exec(int i, const QStringList &command, int timeoutMs,
                                const QProcessEnvironment &env) {
    if (!valid(i) || command.isEmpty()) return {};
    return runBounded(QStringLiteral("ip"), QStringList{"netns", "exec", ns(i)} + command, timeoutMs,
                      copyEnvironment(i, env));
}
