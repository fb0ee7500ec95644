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

#include <deque>
#include <functional>
#include <mutex>

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
// it may hand on more.
class MainBlocks {
public:
    void push(dispatch::Queue::Block block) {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
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
};

MainBlocks &mainBlocks() {
    static MainBlocks blocks;
    return blocks;
}

const QDateTime &fixedNow() {
    static const QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    return now;
}

// The seeded store as saved once per process; every world opens a copy of it.
QByteArray &seedImage() {
    static QByteArray image;
    return image;
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
    if (!context->openImage(seedImage(), &error)) fuzzFail("opening the seeded store", __FILE__, __LINE__);
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

std::optional<PacketArray> FuzzWorld::readFields(const QByteArray &joinedFields) {
    const qsizetype fieldCount = joinedFields.count('\xa6') + 1;
    const QByteArray plain =
        QByteArray::number(fieldCount + 1) + "\xa6" + "4299999\xa6" + joinedFields + "\xa6" + '\0';
    KDTPacket::resetRecentIds();
    const QByteArray frame = KDTAES::encryptDataToData(plain).toBase64() + QByteArray("\x1f\x1f");
    return KDTPacket::ArrayFromBase64AESdata(frame);
}
