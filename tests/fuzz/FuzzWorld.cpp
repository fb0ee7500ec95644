#include "FuzzWorld.h"

#include "FuzzSupport.h"

#include "core/app/AppContext.h"
#include "core/app/ErrorPresenter.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "core/net/UserList.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "platform/defaults/Defaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <sqlite3.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

const QString FuzzWorld::kMeId = QStringLiteral("A000000001");
const QString FuzzWorld::kBobId = QStringLiteral("A000000002");
const QString FuzzWorld::kCarolId = QStringLiteral("A000000003");
const QString FuzzWorld::kDaveId = QStringLiteral("A000000004");
const qint64 FuzzWorld::kHeldId = 777;
const qint64 FuzzWorld::kStoredId = 500;
const qint64 FuzzWorld::kRoomId = 4711;

namespace {

// Errors meant for the user would only be logged for every input.
class SilentPresenter : public ErrorPresenter {
public:
    void presentError(const AppError &) override {}
};

// Blocks for the main queue. Sockets hand theirs over from io threads while the fuzzing thread
// runs the ones before, so every touch of the line holds its lock; a block runs without it, as
// it may hand on more. A waiting fuzzing thread sleeps in the kernel on an event counter that a
// handed-over block bumps, beside the descriptor it also waits on, so it wakes at once for either.
class MainBlocks {
public:
    MainBlocks() : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (wake_ < 0) fuzzFail("event counter for the main queue", __FILE__, __LINE__);
    }
    void push(dispatch::Queue::Block block) {
        bool wake;
        {
            std::lock_guard lock(mutex_);
            blocks_.push_back(std::move(block));
            wake = waiting_;
            waiting_ = false;
        }
        if (wake) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
        }
    }
    // Until a block is there, the descriptor (if any) is ready, or the time is up; true when a
    // block is there.
    bool waitFor(std::chrono::microseconds bound, int fd, short events) {
        {
            std::lock_guard lock(mutex_);
            if (!blocks_.empty()) return true;
            waiting_ = true;
        }
        pollfd watched[2] = {{wake_, POLLIN, 0}, {fd, events, 0}};
        const timespec timeout{time_t(bound.count() / 1000000), long(bound.count() % 1000000) * 1000};
        ::ppoll(watched, fd >= 0 ? 2 : 1, &timeout, nullptr);
        std::uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
        std::lock_guard lock(mutex_);
        waiting_ = false;
        return !blocks_.empty();
    }
    // The oldest block, taken off the line; an empty function when there is none.
    dispatch::Queue::Block take() {
        std::lock_guard lock(mutex_);
        if (blocks_.empty()) return {};
        dispatch::Queue::Block block = std::move(blocks_.front());
        blocks_.pop_front();
        return block;
    }

private:
    std::mutex mutex_;
    std::deque<dispatch::Queue::Block> blocks_;
    const int wake_;
    bool waiting_ = false;
};

MainBlocks &mainBlocks() {
    static MainBlocks blocks;
    return blocks;
}

const QDateTime &fixedNow() {
    static const QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    return now;
}

// The seeded store as saved once per process.
QByteArray &seedImage() {
    static QByteArray image;
    return image;
}

sqlite3_stmt *prepareOrFail(sqlite3 *db, const QString &sql) {
    sqlite3_stmt *stmt = nullptr;
    const QByteArray utf8 = sql.toUtf8();
    if (sqlite3_prepare_v2(db, utf8.constData(), int(utf8.size()), &stmt, nullptr) != SQLITE_OK)
        fuzzFail(qPrintable(QStringLiteral("preparing %1: %2").arg(sql, QString::fromUtf8(sqlite3_errmsg(db)))),
                 __FILE__, __LINE__);
    return stmt;
}

// The one store every world opens on, between two worlds. Opening a fresh copy of the image for
// each input read the schema and prepared every statement again, which cost far more than the
// code under test; instead one connection goes from world to world, statements and all, and
// the rows an input changed are put back as seeded, in place: only the tables it changed (and
// those referring to them, and the link tables, whose changes are not reported), emptied and
// filled again from the seed.
class KeptStore {
public:
    ~KeptStore() {
        for (sqlite3_stmt *stmt : {begin_, commit_}) sqlite3_finalize(stmt);
        for (const Table &table : tables_) {
            sqlite3_finalize(table.empty);
            sqlite3_finalize(table.fill);
        }
        connection_.reset();
    }

    // Once: the store opened on the image, and the image beside it as a database of its own,
    // which the rows are put back from.
    void make(const QByteArray &image) {
        auto context = std::make_unique<ManagedObjectContext>(UserListModel::model());
        StoreError error;
        if (!context->openImage(image, &error)) fuzzFail("opening the seeded store", __FILE__, __LINE__);
        sqlite3 *db = context->database();
        if (sqlite3_exec(db, "ATTACH ':memory:' AS seed", nullptr, nullptr, nullptr) != SQLITE_OK)
            fuzzFail("attaching the seed", __FILE__, __LINE__);
        auto *bytes = static_cast<unsigned char *>(sqlite3_malloc64(sqlite3_uint64(image.size())));
        if (!bytes) fuzzFail("memory for the seed", __FILE__, __LINE__);
        std::memcpy(bytes, image.constData(), size_t(image.size()));
        if (sqlite3_deserialize(db, "seed", bytes, image.size(), image.size(),
                                SQLITE_DESERIALIZE_FREEONCLOSE) != SQLITE_OK)
            fuzzFail("reading the seed", __FILE__, __LINE__);
        // Nobody else opens these images: each keeps its pages cached from one transaction to
        // the next instead of dropping and reading them all again for every statement.
        if (sqlite3_exec(db, "PRAGMA main.locking_mode=EXCLUSIVE; PRAGMA seed.locking_mode=EXCLUSIVE", nullptr,
                         nullptr, nullptr) != SQLITE_OK)
            fuzzFail("keeping the stores' pages", __FILE__, __LINE__);

        sqlite3_stmt *list = prepareOrFail(db, QStringLiteral("SELECT name FROM seed.sqlite_master WHERE type = "
                                                              "'table' AND name NOT LIKE 'sqlite_%' ORDER BY name"));
        while (sqlite3_step(list) == SQLITE_ROW) {
            const QString name = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(list, 0)));
            const QString columns = columnsOf(db, name);
            tables_.push_back({name.toStdString(),
                               prepareOrFail(db, QStringLiteral("DELETE FROM main.\"%1\"").arg(name)),
                               prepareOrFail(db, QStringLiteral("INSERT INTO main.\"%1\" (%2) SELECT %2 FROM seed.\"%1\"")
                                                     .arg(name, columns)),
                               !hasRowId(db, name)});
        }
        sqlite3_finalize(list);
        if (tables_.empty()) fuzzFail("tables of the seed", __FILE__, __LINE__);
        // The actions of a reference (rows of a join table deleted with their owner, a reference
        // set to null) change a table without naming it: a table goes back with every table
        // whose rows refer to it, however indirectly.
        for (const Table &table : tables_) {
            sqlite3_stmt *keys = prepareOrFail(
                db, QStringLiteral("PRAGMA seed.foreign_key_list(\"%1\")").arg(QString::fromStdString(table.name)));
            while (sqlite3_step(keys) == SQLITE_ROW)
                referredBy_[reinterpret_cast<const char *>(sqlite3_column_text(keys, 2))].insert(table.name);
            sqlite3_finalize(keys);
        }
        begin_ = prepareOrFail(db, QStringLiteral("BEGIN"));
        commit_ = prepareOrFail(db, QStringLiteral("COMMIT"));
        // Every row an input changes, also through the actions of a reference, names its table.
        sqlite3_update_hook(db, &KeptStore::rowChanged, this);
        changesSeen_ = sqlite3_total_changes64(db);
        connection_ = context->takeConnection();
    }

    std::unique_ptr<ManagedObjectContext::Connection> take() {
        if (!connection_) fuzzFail("the store is in another world", __FILE__, __LINE__);
        return std::move(connection_);
    }

    // Back from a world, with the seeded rows put back where the input changed any.
    void put(std::unique_ptr<ManagedObjectContext::Connection> connection) {
        if (!connection) fuzzFail("the store did not come back", __FILE__, __LINE__);
        sqlite3 *db = connection->db;
        if (sqlite3_total_changes64(db) != changesSeen_) {
            // Rows taken without naming their table (a table emptied whole): every table goes back.
            const bool all = changed_.empty();
            for (std::vector<std::string> next(changed_.begin(), changed_.end()); !next.empty();) {
                const std::string table = next.back();
                next.pop_back();
                for (const std::string &referring : referredBy_[table])
                    if (changed_.insert(referring).second) next.push_back(referring);
            }
            // Every table emptied first, then filled: the actions of the references run while
            // rows go, never on rows put back, and the references are checked at the end of the
            // transaction, when all rows are back. (Turning the checks off instead would expire
            // every prepared statement of the connection.)
            run(db, begin_);
            const auto back = [&](const Table &table) {
                return all || table.unreported || changed_.count(table.name);
            };
            for (const Table &table : tables_)
                if (back(table)) run(db, table.empty);
            for (const Table &table : tables_)
                if (back(table)) run(db, table.fill);
            run(db, commit_);
            changesSeen_ = sqlite3_total_changes64(db);
        }
        changed_.clear();
        connection_ = std::move(connection);
    }

private:
    // The table's columns, with the row id first where the table has one and no column is it.
    static QString columnsOf(sqlite3 *db, const QString &table) {
        sqlite3_stmt *info = prepareOrFail(db, QStringLiteral("PRAGMA seed.table_info(\"%1\")").arg(table));
        QStringList columns;
        int keys = 0;
        bool integerKey = false;
        while (sqlite3_step(info) == SQLITE_ROW) {
            const QString name = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(info, 1)));
            const QString type = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(info, 2)));
            columns.append(QLatin1Char('"') + name + QLatin1Char('"'));
            if (sqlite3_column_int(info, 5) > 0) {
                ++keys;
                integerKey = type.compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
            }
        }
        sqlite3_finalize(info);
        if (columns.isEmpty()) fuzzFail("columns of a seed table", __FILE__, __LINE__);
        if (!(keys == 1 && integerKey) && hasRowId(db, table)) columns.prepend(QStringLiteral("rowid"));
        return columns.join(QStringLiteral(", "));
    }

    // Link tables keep no row id: their key is the table.
    static bool hasRowId(sqlite3 *db, const QString &table) {
        sqlite3_stmt *stmt = prepareOrFail(db, QStringLiteral("SELECT sql FROM seed.sqlite_schema WHERE name = '%1'")
                                                   .arg(QString(table).replace(QLatin1Char('\''), QLatin1String("''"))));
        QString sql;
        if (sqlite3_step(stmt) == SQLITE_ROW)
            sql = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        return !sql.contains(QLatin1String("WITHOUT ROWID"), Qt::CaseInsensitive);
    }

    static void rowChanged(void *self, int, const char *database, const char *table, sqlite3_int64) {
        if (std::strcmp(database, "main") == 0) static_cast<KeptStore *>(self)->changed_.insert(table);
    }

    static void run(sqlite3 *db, sqlite3_stmt *stmt) {
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE)
            fuzzFail(qPrintable(QStringLiteral("putting the seeded rows back: ") + QString::fromUtf8(sqlite3_errmsg(db))),
                     __FILE__, __LINE__);
    }

    struct Table {
        std::string name;
        sqlite3_stmt *empty;
        sqlite3_stmt *fill;
        // Its rows' changes are never reported (SQLite reports rows by row id only).
        bool unreported;
    };
    std::unique_ptr<ManagedObjectContext::Connection> connection_;
    std::vector<Table> tables_;
    sqlite3_stmt *begin_ = nullptr, *commit_ = nullptr;
    std::set<std::string> changed_;
    std::map<std::string, std::set<std::string>> referredBy_;
    sqlite3_int64 changesSeen_ = 0;
};

KeptStore &keptStore() {
    static KeptStore store;
    return store;
}

User *knownUser(ManagedObjectContext *ctx, const QString &id, const QString &name, const QString &ip,
                const QString &status) {
    User *u = ctx->insert<User>();
    u->setUserId(id);
    u->setName(name);
    u->setPc(QStringLiteral("pc-") + name.toLower());
    u->setIp(ip);
    u->setVersion(QStringLiteral("0.1.0"));
    u->setStatus(status);
    return u;
}

} // namespace

void FuzzWorld::setUpProcess() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // Logging of every dropped packet would drown the fuzzer's own output.
    QLoggingCategory::setFilterRules(QStringLiteral("murnavell.*=false"));

    // A file where the store folder would be: the application runs on a store in memory.
    const QString folder = KDTAppDelegate::applicationFilesDirectory();
    QDir().mkpath(QFileInfo(folder).path());
    QFile blocker(folder);
    if (!blocker.open(QIODevice::WriteOnly)) fuzzFail("store folder blocker", __FILE__, __LINE__);
    blocker.close();
    static SilentPresenter presenter;
    ErrorPresenter::install(&presenter);
    // Messages are stored and answered as on disk, so every handler's storing paths run.
    setStoreKeepsChangesInMemory(true);

    RegisteredDefaults::registerMessaging(Defaults::standard());
    // Received files, if any handler got that far, stay in the private folder.
    Defaults::standard().setValue(QStringLiteral("fileTransferPath"), QDir::homePath() + "/received");
    Clock::setNowFunction([] { return fixedNow(); });
    dispatch::Queue::setMainPoster([](dispatch::Queue::Block block) { mainBlocks().push(std::move(block)); });

    // Every way out of the process does nothing.
    UserList::setInfoRequestFunction([](User *) {});
    UserList::setNetworkingSwitch([](bool) {});
    User::setOfflineHandOverHandler([](User *, Message *) {});
    User::setTypingNoticeSender([](User *) {});
    User::setRandomSource([](quint32) { return 0u; });
    Message::setReceivedNoticeSender([](qint64) {});
    Message::setLocalOffsetFunction([] { return 3600.0; });
    MessageForForwarding::setPacketSender([](const QByteArray &, User *, ManagedObject *) {});
    // Deliveries of held copies run without their delays, when the input's blocks are drained.
    MessageForForwarding::setScheduler(
        [](int, std::function<void()> block) { mainBlocks().push(std::move(block)); });
    MessageForForwarding::setRandomSource([](quint32) { return 0u; });
    Chat::setRandomSource([](quint32) { return 4242u; });
    std::uint32_t nextId = 4200001;
    KDTPacket::setIdSource([nextId]() mutable { return nextId++; });

    // Built once: making the schema and the rows cost far more than the code an input reaches.
    FuzzWorld seeded{Seeding{}};
    seedImage() = seeded.context()->image();
    if (seedImage().isEmpty()) fuzzFail("image of the seeded store", __FILE__, __LINE__);
    keptStore().make(seedImage());
}

FuzzWorld::FuzzWorld(Seeding) : delegate_(std::make_unique<KDTAppDelegate>()) {
    KDTAppDelegate::setShared(delegate_.get());
    context_ = appManagedObjectContext();
    roster_ = std::make_unique<UserList>();
    UserList::setShared(roster_.get());
    KDTPacket::resetRecentIds();

    me_ = context_->insert<Me>();
    me_->setUserId(kMeId);
    me_->setPc(QStringLiteral("pc-alice"));
    me_->setName(QStringLiteral("Alice"));
    me_->setIp(QStringLiteral("127.0.0.1"));
    me_->setVersion(QStringLiteral("0.1.0"));
    roster_->setMe(me_);
    me_->setStatus(QStringLiteral("0"));

    bob_ =
        knownUser(context_, kBobId, QStringLiteral("Bob"), QStringLiteral("127.0.0.2"), QStringLiteral("0"));
    carol_ = knownUser(context_, kCarolId, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"),
                       QStringLiteral("10"));
    User *dave = knownUser(context_, kDaveId, QStringLiteral("Dave"), QStringLiteral("127.0.0.4"),
                           QStringLiteral("2"));
    dave->setRemoved(true);
    // Where a store that was opened before has them: users read from it without a group join it.
    for (User *user : {static_cast<User *>(me_), bob_, carol_}) user->setGroup(Group::general(context_));

    auto *held = context_->insert<MessageForForwarding>();
    held->setMessageId(kHeldId);
    held->setMessage(KDTAES::encryptString(QStringLiteral("held for Carol"), true));
    held->setTime(fixedNow());
    held->setSender(bob_);
    held->addRecipientsObject(carol_);

    auto *stored = context_->insert<Message>();
    stored->setMessageId(kStoredId);
    stored->setMessage(QStringLiteral("seen before"));
    stored->addUserObject(bob_);

    auto *room = context_->insert<Chat>();
    room->setRoomId(kRoomId);
    room->setCurrentUsers({bob_});
    saveContextIfChanged();
    drain();
}

FuzzWorld::FuzzWorld() : delegate_(std::make_unique<KDTAppDelegate>()) {
    KDTAppDelegate::setShared(delegate_.get());
    auto context = std::make_unique<ManagedObjectContext>(UserListModel::model());
    StoreError error;
    if (!context->openConnection(keptStore().take(), &error)) fuzzFail("opening the seeded store", __FILE__, __LINE__);
    onKeptStore_ = true;
    context_ = context.get();
    delegate_->useContext(std::move(context));
    roster_ = std::make_unique<UserList>();
    UserList::setShared(roster_.get());
    KDTPacket::resetRecentIds();

    me_ = context_->fetch<Me>().value(0);
    bob_ = User::findByUserId(context_, kBobId);
    carol_ = User::findByUserId(context_, kCarolId);
    if (!me_ || !bob_ || !carol_) fuzzFail("seeded users", __FILE__, __LINE__);
    roster_->setMe(me_);
    drain();
}

FuzzWorld::~FuzzWorld() {
    drain();
    MessageForForwarding::resetPendingDeliveries();
    roster_->setMe(nullptr);
    UserList::setShared(nullptr);
    roster_.reset();
    // What the input left unsaved goes with the world; what it saved goes back to the seed's.
    if (onKeptStore_) keptStore().put(context_->takeConnection());
    KDTAppDelegate::setShared(nullptr);
    delegate_.reset();
    // Blocks queued while the objects went away find them gone.
    drain();
}

void FuzzWorld::drain() {
    // A handler that queues without end must not hold the input forever. A socket's block that
    // comes in after the last one here ran is no fault: the next drain runs it.
    constexpr int kBound = 10000;
    int ran = 0;
    for (; ran < kBound; ++ran) {
        dispatch::Queue::Block block = mainBlocks().take();
        if (!block) break;
        block();
    }
    FUZZ_CHECK(ran < kBound);
    // Queued signals and objects let go with deleteLater; no timer fires here.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool FuzzWorld::waitForBlocks(std::chrono::microseconds bound, int fd, short events) {
    return mainBlocks().waitFor(bound, fd, events);
}

std::optional<PacketArray> FuzzWorld::readFields(const QByteArray &joinedFields) {
    const qsizetype fieldCount = joinedFields.count('\xa6') + 1;
    const QByteArray plain =
        QByteArray::number(fieldCount + 1) + "\xa6" + "4299999\xa6" + joinedFields + "\xa6" + '\0';
    KDTPacket::resetRecentIds();
    const QByteArray frame = KDTAES::encryptDataToData(plain).toBase64() + QByteArray("\x1f\x1f");
    return KDTPacket::ArrayFromBase64AESdata(frame);
}
