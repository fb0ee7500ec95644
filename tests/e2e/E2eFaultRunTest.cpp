// A randomized fault run: three copies write one-to-one and mass messages to each other while
// links go down and up and copies are killed with SIGKILL and started again on their stores.
// Afterwards, with every link up and every copy running, each message an author stored is stored
// exactly once at each of its recipients, and every store passes SQLite's integrity check.
//
// MURNAVELL_FAULTRUN_SECONDS: how long messages and faults go on (default 15).
// MURNAVELL_FAULTRUN_SEED: the seed (default: a fresh one). It is printed either way, so a run
// can be repeated; scripts/faultrun runs longer schedules round after round.
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QRandomGenerator>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <set>

namespace {

constexpr int kCopies = 3;

QString userId(int i) { return E2eCopies::userIdIn(7, i); }

// A message the run asked an author to write.
struct Written {
    int author;
    QList<int> to;
    QString text;
};

// What the stores hold at the end.
struct Tally {
    int sent = 0;       // messages found in their authors' stores
    int deliveries = 0; // (message, recipient) pairs those messages owe
    int stored = 0;     // pairs stored at the recipient
    int duplicates = 0; // extra rows beyond the first
    int missing = 0;    // pairs not stored
    QStringList problems;
};

class E2eFaultRunTest : public E2eCopies {
protected:
    void SetUp() override {
        SKIP_WITHOUT_LAB();
        lab = std::make_unique<NetnsLab>(kCopies);
        ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    }

    bool start(int i) {
        running[i] = startWithPresence(i, userId(i));
        return running[i] != nullptr;
    }
    void kill(int i) {
        running[i]->process()->kill();
        running[i]->process()->waitForFinished(5000);
        running[i] = nullptr;
    }
    bool allSeeEachOther(int timeoutMs) {
        for (int i = 0; i < kCopies; ++i)
            for (int j = 0; j < kCopies; ++j)
                if (i != j && !sees(running[i], userId(j), true, timeoutMs)) return false;
        return true;
    }
    // Every copy tells the others it is there ("SS"), so each sees the others online again and
    // delivers what it holds for them.
    void announceAll() {
        for (CopyProcess *c : running) {
            c->send(QStringLiteral("set-status 1"));
            c->send(QStringLiteral("set-status 0"));
        }
    }
    bool nothingHeld() {
        for (CopyProcess *c : running) {
            const auto held = heldCopies(c);
            if (!held || !held->isEmpty()) return false;
        }
        return true;
    }

    void write(int author, const QList<int> &to, int n) {
        Written w{author, to, QStringLiteral("fault run %1 #%2").arg(seed).arg(n)};
        QStringList ids;
        for (int r : to) ids.append(userId(r));
        if (to.size() == 1)
            running[author]->send(QStringLiteral("send %1 %2").arg(ids.first(), w.text));
        else
            running[author]->send(QStringLiteral("send-mass %1 %2").arg(ids.join(u','), w.text));
        written.push_back(w);
    }

    // The copy's message rows from one "messages" answer.
    static QJsonArray messagesOf(CopyProcess *c) {
        c->send(QStringLiteral("messages"));
        const auto answer = c->waitForEvent(QStringLiteral("messages"), 10000);
        return answer ? answer->value("messages").toArray() : QJsonArray();
    }

    Tally tally() {
        Tally t;
        // Incoming rows by (recipient, author, text).
        QHash<QString, int> received;
        struct Outgoing {
            int author;
            QStringList to;
            QString text;
        };
        std::vector<Outgoing> outgoing;
        for (int i = 0; i < kCopies; ++i) {
            for (const QJsonValue &v : messagesOf(running[i])) {
                const QJsonObject m = v.toObject();
                QStringList users;
                for (const QJsonValue &u : m.value("users").toArray()) users.append(u.toString());
                const QString text = m.value("text").toString();
                if (m.value("incoming").toBool())
                    ++received[userId(i) + u'|' + users.value(0) + u'|' + text];
                else
                    outgoing.push_back({i, users, text});
            }
        }
        for (const Outgoing &o : outgoing) {
            ++t.sent;
            for (const QString &to : o.to) {
                ++t.deliveries;
                const int n = received.value(to + u'|' + userId(o.author) + u'|' + o.text);
                if (n == 0) {
                    ++t.missing;
                    t.problems.append(
                        QStringLiteral("missing at %1: \"%2\" from %3").arg(to, o.text, userId(o.author)));
                } else {
                    ++t.stored;
                    if (n > 1) {
                        t.duplicates += n - 1;
                        t.problems.append(QStringLiteral("%1 times at %2: \"%3\"").arg(n).arg(to, o.text));
                    }
                }
            }
        }
        return t;
    }

    // Every event about the message of this text, at every copy this run started.
    QString historyOf(const QString &text) const {
        QStringList ids;
        for (const auto &c : copies)
            for (const QJsonObject &e : c->events())
                if (e.value("event") == "sent" && e.value("text").toString() == text)
                    ids.append(e.value("id").toString());
        QStringList lines;
        for (size_t k = 0; k < copies.size(); ++k)
            for (const QJsonObject &e : copies[k]->events())
                if (ids.contains(e.value("id").toString()))
                    lines.append(QStringLiteral("  [%1] %2")
                                     .arg(k)
                                     .arg(e.value("event").toString() + u' ' + e.value("to").toString()));
        return lines.join(u'\n');
    }

    static QString integrityOf(const QString &path) {
        sqlite3 *db = nullptr;
        QString result = QStringLiteral("cannot open");
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt *stmt = nullptr;
            if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW)
                result = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return result;
    }

    quint32 seed = 0;
    QRandomGenerator rng;
    CopyProcess *running[kCopies] = {nullptr, nullptr, nullptr};
    std::vector<Written> written;
};

TEST_F(E2eFaultRunTest, EveryMessageIsStoredOnceAtEachRecipient) {
    const int seconds = qEnvironmentVariableIsSet("MURNAVELL_FAULTRUN_SECONDS")
                            ? qEnvironmentVariableIntValue("MURNAVELL_FAULTRUN_SECONDS")
                            : 15;
    bool seeded = false;
    seed = quint32(qEnvironmentVariable("MURNAVELL_FAULTRUN_SEED").toUInt(&seeded));
    if (!seeded) seed = QRandomGenerator::system()->generate();
    rng.seed(seed);
    std::printf("fault run: seed %u, %d s of faults\n", seed, seconds);
    std::fflush(stdout);
    RecordProperty("seed", QString::number(seed).toStdString());

    for (int i = 0; i < kCopies; ++i) ASSERT_TRUE(start(i)) << "copy " << i;
    ASSERT_TRUE(allSeeEachOther(20000));

    // Messages and faults. Each fault is undone after a while of its own.
    bool linkUp[kCopies] = {true, true, true};
    qint64 linkUpAt[kCopies] = {0, 0, 0};
    qint64 restartAt[kCopies] = {0, 0, 0};
    int kills = 0, linkDowns = 0, n = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000) {
        const qint64 now = clock.elapsed();
        for (int i = 0; i < kCopies; ++i) {
            if (!linkUp[i] && now >= linkUpAt[i]) linkUp[i] = lab->linkUp(i);
            if (!running[i] && now >= restartAt[i]) {
                ASSERT_TRUE(start(i)) << "restart of copy " << i;
            }
        }
        const int roll = int(rng.bounded(100));
        const int i = int(rng.bounded(kCopies));
        if (roll < 70) {
            if (running[i]) {
                const int other = (i + 1 + int(rng.bounded(kCopies - 1))) % kCopies;
                QList<int> to = {other};
                if (rng.bounded(100) < 40) to = {(i + 1) % kCopies, (i + 2) % kCopies};
                write(i, to, ++n);
            }
        } else if (roll < 80) {
            if (linkUp[i] && lab->linkDown(i)) {
                linkUp[i] = false;
                linkUpAt[i] = now + 1000 + rng.bounded(4000);
                ++linkDowns;
            }
        } else if (roll < 88) {
            if (running[i]) {
                kill(i);
                restartAt[i] = now + 500 + rng.bounded(2500);
                ++kills;
            }
        } else if (roll < 95) {
            if (running[i]) running[i]->send(QStringLiteral("set-status %1").arg(rng.bounded(2)));
        }
        spinFor(100 + int(rng.bounded(200)));
    }

    // Everything back: links up, copies running, each seen by the others, nothing held.
    for (int i = 0; i < kCopies; ++i) {
        if (!linkUp[i]) linkUp[i] = lab->linkUp(i);
        if (!running[i]) {
            ASSERT_TRUE(start(i)) << "restart of copy " << i;
        }
    }
    QElapsedTimer settling;
    settling.start();
    bool settled = false;
    for (QDeadlineTimer deadline(120000); !deadline.hasExpired() && !settled;) {
        announceAll();
        if (!allSeeEachOther(5000)) continue;
        for (CopyProcess *c : running) c->send(QStringLiteral("forward-run"));
        spinFor(3000);
        settled = nothingHeld();
    }
    spinFor(2000); // deliveries under way finish
    EXPECT_TRUE(settled) << "copies still hold messages after two minutes";

    const Tally t = tally();
    std::printf("fault run: seed %u: %d written, %d sent, %d deliveries owed, %d stored, %d duplicates, "
                "%d missing; %d kills, %d links down; settled in %.1f s\n",
                seed, n, t.sent, t.deliveries, t.stored, t.duplicates, t.missing, kills, linkDowns,
                settling.elapsed() / 1000.0);
    for (const QString &p : t.problems) {
        const QString text = p.section(u'"', 1, 1);
        std::printf("  %s\n%s\n", qPrintable(p), qPrintable(historyOf(text)));
    }
    std::fflush(stdout);
    RecordProperty("written", n);
    RecordProperty("missing", t.missing);
    RecordProperty("duplicates", t.duplicates);
    EXPECT_GT(t.sent, 0);
    EXPECT_EQ(t.missing, 0) << "seed " << seed;
    EXPECT_EQ(t.duplicates, 0) << "seed " << seed;

    // The stores, each after an orderly quit.
    for (CopyProcess *c : running) c->send(QStringLiteral("quit"));
    for (CopyProcess *c : running) c->process()->waitForFinished(5000);
    for (int i = 0; i < kCopies; ++i) {
        SCOPED_TRACE(i);
        const QString store = lab->folder(i) + QStringLiteral("/data/Murnavell/Murnavell-v2.storedata");
        EXPECT_EQ(integrityOf(store), QStringLiteral("ok"));
        running[i] = nullptr;
    }
}

} // namespace
