// The cost of a room's join information ("CRJR") as the member list grows, with 1,000 known
// users in the roster, for a stored room without a window (its members are replaced):
//
//  - BM_JoinInfo/10: a list of 10 known ids, a usual room (the baseline);
//  - BM_JoinInfo/1024: a list of 1,024 known ids, as many as a list is read;
//  - BM_JoinInfo/1000000: a hostile list of a million ids (about 11 MB), read only up to the
//    bound, so it costs what the bounded list costs.
//
// The counter "ratio" is the time of each case over the baseline's, measured in the same run.
// Run by hand (scripts/bench), not in CTest.
#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Chat.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int kKnownUsers = 1000;

QString peerId(int i) { return QStringLiteral("A%1").arg(100000000 + i); }

struct Copy {
    std::unique_ptr<KDTAppDelegate> delegate;
    std::unique_ptr<UserList> roster;
    Chat *room = nullptr;

    Copy() {
        delegate = std::make_unique<KDTAppDelegate>();
        KDTAppDelegate::setShared(delegate.get());
        ManagedObjectContext *ctx = appManagedObjectContext();
        RegisteredDefaults::registerMessaging(Defaults::standard());
        roster = std::make_unique<UserList>();
        UserList::setShared(roster.get());
        Me *me = ctx->insert<Me>();
        me->setUserId(QStringLiteral("A000000001"));
        roster->setMe(me);
        for (int i = 0; i < kKnownUsers; ++i) {
            User *u = ctx->insert<User>();
            u->setUserId(peerId(i));
            u->setName(QStringLiteral("Peer %1").arg(i));
        }
        room = ctx->insert<Chat>();
        room->setRoomId(4242);
        saveContextIfChanged();
    }
    ~Copy() {
        roster->setMe(nullptr);
        UserList::setShared(nullptr);
        roster.reset();
        KDTAppDelegate::setShared(nullptr);
        delegate.reset();
    }
};

Copy &copy() {
    static Copy c;
    return c;
}

PacketArray joinInfo(int ids) {
    QStringList list;
    list.reserve(ids);
    // Known ids round-robin; past the known ones a hostile list repeats them as if new.
    for (int i = 0; i < ids; ++i)
        list.append(i < kKnownUsers ? peerId(i) : QStringLiteral("A9%1").arg(i, 8, 10, QChar(u'0')));
    return {"CRJR", "4242", "pc-peer", peerId(0), "*", "A000000001", list.join(u','), "*"};
}

double timePerCall(const PacketArray &packet, int rounds) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < rounds; ++i) benchmark::DoNotOptimize(Chat::receivedJoinInfo(packet));
    return double(t.nsecsElapsed()) / rounds;
}

void BM_JoinInfo(benchmark::State &state) {
    copy();
    const PacketArray packet = joinInfo(int(state.range(0)));
    const PacketArray baseline = joinInfo(10);
    for (auto _ : state) benchmark::DoNotOptimize(Chat::receivedJoinInfo(packet));
    // Both measured here, one after the other, so the ratio compares like with like.
    const double baseNs = timePerCall(baseline, 5);
    const double ns = timePerCall(packet, 5);
    state.counters["ratio"] = ns / baseNs;
    state.counters["members"] = double(copy().room->currentUsers().size());
}

BENCHMARK(BM_JoinInfo)->Arg(10)->Arg(1024)->Arg(1000000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    // Settings and the store go to a private folder.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
