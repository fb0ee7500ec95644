// The conversation window on long histories, in the same run as its baselines:
//  - opening a window on a user with 100,000 entries against one with 20 (the window reads only
//    what it shows, so the two should cost about the same);
//  - appending 1,000 incoming lines to that open window (each stored and saved as the network
//    would, untimed, then announced and appended, timed) against a bare QTextDocument filled with
//    the same lines through a cursor and laid out at the same width as it grows.
// The ratios are printed at the end. Runs offscreen in a private folder.
#include "BenchRatioReporter.h"
#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/PrivateFolders.h"
#include "ui/conversation/Conversation.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextDocument>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int kLong = 100000;
constexpr int kShort = 20;
constexpr int kAppended = 1000;

QDateTime g_now = QDateTime::fromMSecsSinceEpoch(1767225600000LL, Qt::UTC);
User *g_long = nullptr;
User *g_short = nullptr;

ManagedObjectContext *context() { return appManagedObjectContext(); }

User *makeUser(const QString &name, const QString &id, int entries) {
    auto *u = context()->insert<User>();
    u->setUserId(id);
    u->setName(name);
    u->setStatus(QStringLiteral("0"));
    for (int i = 0; i < entries; ++i) {
        g_now = g_now.addMSecs(10);
        auto *m = context()->insert<Message>();
        m->setMessage(
            QStringLiteral("Line %1 of a long working history, with a link https://example.org/%1").arg(i));
        m->setIncoming(i % 2 == 0);
        m->addUserObject(u);
    }
    saveContextIfChanged();
    return u;
}

QString line(int i) { return QStringLiteral("Incoming line %1: Привет, see https://example.org/%1").arg(i); }

void BM_OpenConversation(benchmark::State &state) {
    User *u = state.range(0) == kLong ? g_long : g_short;
    for (auto _ : state) {
        auto *window = new Conversation({u}, nullptr, false);
        u->setConversationWindow(window);
        benchmark::DoNotOptimize(window->logText().size());
        state.PauseTiming();
        window->windowClose();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
}

// Timed by hand around the announcements alone: storing the lines is the model's work.
// Timed by hand around the announcements alone: storing the lines is the model's work.
void BM_AppendToWindow(benchmark::State &state) {
    for (auto _ : state) {
        auto *window = new Conversation({g_long}, nullptr, false);
        g_long->setConversationWindow(window);
        qint64 elapsedNs = 0;
        for (int i = 0; i < kAppended; ++i) {
            g_now = g_now.addMSecs(10);
            auto *m = context()->insert<Message>();
            m->setMessage(line(i));
            m->setIncoming(true);
            m->addUserObject(g_long);
            saveContextIfChanged(); // as the messaging server does before the line is shown
            QElapsedTimer timer;
            timer.start();
            NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), g_long);
            elapsedNs += timer.nsecsElapsed();
        }
        benchmark::DoNotOptimize(window->logText().size());
        window->windowClose();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.SetIterationTime(double(elapsedNs) / 1e9);
    }
}

// The same lines, with a header and a body format each, into a document that nothing else uses,
// laid out at a window's width as it grows (text that is shown has to be laid out).
void BM_AppendToBareDocument(benchmark::State &state) {
    QTextCharFormat header, body;
    header.setForeground(Qt::gray);
    QTextBlockFormat headerBlock, bodyBlock;
    bodyBlock.setLeftMargin(18);
    for (auto _ : state) {
        QTextDocument document;
        document.setTextWidth(560);
        benchmark::DoNotOptimize(document.documentLayout());
        QTextCursor cursor(&document);
        for (int i = 0; i < kAppended; ++i) {
            cursor.movePosition(QTextCursor::End);
            cursor.insertBlock(headerBlock, header);
            cursor.insertText(QStringLiteral("10:00 - Olga:"), header);
            cursor.insertBlock(bodyBlock, body);
            cursor.insertText(line(i), body);
            benchmark::DoNotOptimize(document.size().height());
        }
        benchmark::DoNotOptimize(document.characterCount());
    }
}

BENCHMARK(BM_OpenConversation)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_AppendToWindow)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_AppendToBareDocument)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!usePrivateFolders(home)) return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    Clock::setNowFunction([] { return g_now; });
    KDTAppDelegate::initialize(Defaults::standard(), {"en-US"});
    KDTAppDelegate delegate;
    KDTAppDelegate::setShared(&delegate);
    UserList roster;
    roster.updateMe();
    UserList::setShared(&roster);
    std::fprintf(stderr, "building histories of %d and %d entries ...\n", kLong, kShort);
    g_long = makeUser(QStringLiteral("Olga"), QStringLiteral("A000000101"), kLong);
    g_short = makeUser(QStringLiteral("Ivan"), QStringLiteral("A000000102"), kShort);

    benchmark::Initialize(&argc, argv);
    BenchRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](const char *a, const char *b) {
        const double x = reporter.time(a), y = reporter.time(b);
        if (x <= 0 || y <= 0) return;
        std::printf("ratio %s / %s = %.2f\n", a, b, x / y);
    };
    ratio("BM_OpenConversation/100000/iterations:20", "BM_OpenConversation/20/iterations:20");
    ratio("BM_AppendToWindow/iterations:3/manual_time", "BM_AppendToBareDocument/iterations:3");
    UserList::setShared(nullptr);
    KDTAppDelegate::setShared(nullptr);
    return 0;
}
