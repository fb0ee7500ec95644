// The main user tree with 1,000 users in 20 groups, shown in an open view with every group
// expanded, in the same run as its baseline:
//  - one status change (a user going offline or coming back, which moves the row) followed by
//    the re-sort of its group, as the 20 ms timer would run it;
//  - the model's own full reset (every row rebuilt, the view told to forget everything).
// 1,000 changes are timed per run; the ratio of one change to one reset is printed at the end.
#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Group.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/PrivateFolders.h"
#include "ui/main/NSOutlineViewSubClass.h"
#include "ui/main/OutlineViewDataSource.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int kUsers = 1000;
constexpr int kGroups = 20;
constexpr int kChanges = 1000;

QList<User *> g_users;
OutlineViewDataSource *g_model = nullptr;
NSOutlineViewSubClass *g_view = nullptr;
std::map<std::string, double> g_times;

void fill() {
    ManagedObjectContext *ctx = appManagedObjectContext();
    QRandomGenerator random(20261210);
    QList<Group *> groups;
    for (int g = 0; g < kGroups; ++g) {
        auto *group = ctx->insert<Group>();
        group->setName(QStringLiteral("Group %1").arg(g, 2, 10, QLatin1Char('0')));
        groups << group;
    }
    for (int u = 0; u < kUsers; ++u) {
        auto *user = ctx->insert<User>();
        user->setUserId(QStringLiteral("A%1").arg(u, 9, 10, QLatin1Char('0')));
        user->setName(QStringLiteral("Colleague %1").arg(random.bounded(100000)));
        user->setGroup(groups.at(u % kGroups));
        user->setStatus(random.bounded(2) ? QStringLiteral("0") : QStringLiteral("10"));
        g_users << user;
    }
    saveContextIfChanged();
}

void BM_StatusChangeAndResort(benchmark::State &state) {
    QRandomGenerator random(7);
    for (auto _ : state) {
        for (int i = 0; i < kChanges; ++i) {
            User *user = g_users.at(int(random.bounded(quint32(kUsers))));
            user->setStatus(user->userOffline() ? QStringLiteral("0") : QStringLiteral("10"));
            g_model->delayedGroupResort();
        }
        QApplication::processEvents();
    }
    state.counters["per_change_us"] = benchmark::Counter(
        double(kChanges), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ModelReset(benchmark::State &state) {
    for (auto _ : state) {
        for (int i = 0; i < kChanges; ++i) g_model->reloadData();
        QApplication::processEvents();
    }
}

BENCHMARK(BM_StatusChangeAndResort)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ModelReset)->Unit(benchmark::kMillisecond)->Iterations(3);

class Keep : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) g_times[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!usePrivateFolders(home)) return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    KDTAppDelegate::initialize(Defaults::standard(), {QStringLiteral("en-US")});
    MessageForForwarding::setSendOnUserInHandler([](User *) {});
    KDTAppDelegate delegate;
    KDTAppDelegate::setShared(&delegate);
    fill();
    OutlineViewDataSource model;
    NSOutlineViewSubClass view;
    view.resize(300, 800);
    view.setDataSource(&model);
    view.expandAll();
    view.show();
    g_model = &model;
    g_view = &view;

    benchmark::Initialize(&argc, argv);
    Keep reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto change = g_times.find("BM_StatusChangeAndResort/iterations:3");
    const auto reset = g_times.find("BM_ModelReset/iterations:3");
    if (change != g_times.end() && reset != g_times.end() && reset->second > 0)
        std::printf("one status change and re-sort / one model reset = %.3f\n",
                    change->second / reset->second);
    benchmark::Shutdown();
    KDTAppDelegate::setShared(nullptr);
    return 0;
}
