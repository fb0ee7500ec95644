#include "core/model/Me.h"
#include "ModelTestSupport.h"
#include "core/model/Group.h"
#include "core/model/MessageForForwarding.h"
#include "core/net/TCPserver.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "core/wire/UserInfoPacket.h"
#include "platform/defaults/Defaults.h"
#include "platform/system/IdleTime.h"
#include "platform/system/SystemIdentity.h"

#include <QRegularExpression>

namespace {

class MeTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        MessageForForwarding::setSendOnUserInHandler([](User *) {});
        IdleTime::setSource([this] { return idle; });
        Defaults &d = Defaults::standard();
        d.setValue(QStringLiteral("autoAwayEnabled"), false);
        d.setValue(QStringLiteral("autoAwayMinutes"), 10);
        d.setValue(QStringLiteral("sreensaverAwayEnabled"), true);
    }
    void TearDown() override {
        Defaults &d = Defaults::standard();
        for (const char *key : {"autoAwayEnabled", "autoAwayMinutes", "sreensaverAwayEnabled"})
            d.removeObject(QString::fromLatin1(key));
        IdleTime::setSource({});
        MessageForForwarding::setSendOnUserInHandler({});
        Me::setCurrent(nullptr);
        StoreFixture::TearDown();
    }
    Me *freshMe() {
        Me *me = Me::getMe(ctx.get());
        Me::setCurrent(me);
        return me;
    }

    std::optional<double> idle = 0.0;
};

struct IdCase {
    const char *name;
    std::optional<QString> sid;
    std::optional<QString> uniqueId;
    QString expected; // empty: random
};

TEST_F(MeTest, UserIdForms) {
    const QList<IdCase> cases = {
        {"long SID: last 9 without dashes", QString("S-1-5-21-3623811015-3361044348"), std::nullopt,
         "A361044348"},
        {"SID of exactly 10 characters", QString("1234-67890"), std::nullopt, "A123467890"},
        {"short SID kept whole", QString("12-34"), std::nullopt, "A1234"},
        {"empty SID takes the unique id", QString(""), QString("501"), "A501"},
        {"empty SID and no unique id", QString(""), std::nullopt, ""},
        {"no SID at all ignores the unique id", std::nullopt, QString("501"), ""},
        {"only dashes", QString("---"), std::nullopt, ""},
    };
    for (const IdCase &c : cases) {
        const QString id = Me::userIdFromDirectory(c.sid, c.uniqueId, [] { return 123456789u; });
        EXPECT_EQ(id, c.expected.isEmpty() ? QStringLiteral("A123456789") : c.expected) << c.name;
    }
    // The id drawn for a plain account: "A" and nine digits.
    const QRegularExpression form(QStringLiteral("^A[1-9][0-9]{8}$"));
    for (int i = 0; i < 50; ++i) {
        const QString id = Me::defaultUserId();
        EXPECT_TRUE(form.match(id).hasMatch()) << id.toStdString();
    }
}

TEST_F(MeTest, FirstStartMakesTheRowAndRestartsKeepIt) {
    Me *me = freshMe();
    ASSERT_NE(me, nullptr);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^A[0-9]{9}$")).match(me->userId()).hasMatch());
    EXPECT_GT(me->sessionId(), 0);
    EXPECT_LT(me->sessionId(), 999999999);
    EXPECT_EQ(me->group(), Group::general(ctx.get()));
    EXPECT_EQ(me->name(), Me::defaultName());
    EXPECT_EQ(me->status(), QStringLiteral("0"));
    EXPECT_EQ(me->ip(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(me->isOnTS(), QStringLiteral("0"));
    EXPECT_EQ(me->pc(), SystemIdentity::shortHostName());
    EXPECT_EQ(me->oSversion(), QStringLiteral("Mac OS X ") + SystemIdentity::versionText());
    EXPECT_FALSE(me->oSversion().contains(QLatin1String("Windows")));
    EXPECT_GE(UDPserver::majorVersion(me->version()).toInt(), 4);
    EXPECT_TRUE(me->UTF8compatible()) << "copies of this system read each other's UTF-8";
    EXPECT_FALSE(ctx->hasChanges()) << "saved";
    const QString id = me->userId();
    const qint64 session = me->sessionId();

    struct Restart {
        const char *stored;
        const char *after;
    };
    for (const Restart r : {Restart{"10", "0"}, Restart{"", "0"}, Restart{"1", "1"}, Restart{"2", "2"}}) {
        Me::setCurrent(nullptr);
        Me::getMe(ctx.get())->setValue(QStringLiteral("status"), QString::fromLatin1(r.stored));
        save();
        reopen();
        Me *again = freshMe();
        EXPECT_EQ(again->userId(), id);
        EXPECT_EQ(again->sessionId(), session);
        EXPECT_EQ(again->status(), QString::fromLatin1(r.after)) << "stored " << r.stored;
        EXPECT_FALSE(again->userOffline());
        EXPECT_EQ(ctx->fetch<Me>().size(), 1);
    }
}

struct OsCase {
    const char *name;
    const char *osRelease;
    const char *text;
    bool canCall;
};

// What a copy sends as its system, and what a peer concludes from it.
TEST_F(MeTest, SystemTextTellsPeersWhatThisCopyTakes) {
    const OsCase cases[] = {
        {"Debian", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION_CODENAME=bookworm\n",
         "Debian GNU/Linux 12 (bookworm)", true},
        {"Ubuntu", "NAME=\"Ubuntu\"\nVERSION_ID=\"24.04\"\nVERSION_CODENAME=noble\n", "Ubuntu 24.04 (noble)",
         true},
        {"Fedora", "NAME=\"Fedora Linux\"\nVERSION_ID=40\n", "Fedora Linux 40 (Linux)", true},
        {"quoted and commented", "# comment\nNAME=\"Odd \\\"OS\\\"\"\nVERSION_ID='15.6'\n",
         "Odd \"OS\" 15.6 (Linux)", true},
        // Major numbers below 11 read like old Mac systems: such peers do not offer calls.
        {"RHEL", "NAME=\"Red Hat Enterprise Linux\"\nVERSION_ID=\"9.4\"\n",
         "Red Hat Enterprise Linux 9.4 (Linux)", false},
        {"no version", "NAME=\"Arch Linux\"\n", "Arch Linux", false},
        {"empty", "", "Linux", false},
    };
    for (const OsCase &c : cases) {
        const QString text = SystemIdentity::versionTextFromOsRelease(QByteArray(c.osRelease));
        EXPECT_EQ(text, QString::fromUtf8(c.text)) << c.name;
        User *peer = ctx->insert<User>();
        peer->setVersion(Me::applicationVersion());
        peer->setOSversion(QStringLiteral("Mac OS X ") + text);
        EXPECT_TRUE(peer->UTF8compatible()) << c.name;
        EXPECT_FALSE(peer->isWindows()) << c.name;
        EXPECT_EQ(peer->canCall(), c.canCall) << c.name;
    }
}

struct IdleCase {
    double seconds;
    bool away;
};

TEST_F(MeTest, IdleAwayStartsStrictlyAfterTheMinutesSet) {
    Me *me = freshMe();
    me->setStatus(QStringLiteral("1"));
    const IdleCase cases[] = {{0, false}, {599.9, false}, {600.0, false}, {600.001, true}, {3600, true}};
    for (const IdleCase c : cases) {
        idle = c.seconds;
        me->idleCheckTimer();
        EXPECT_EQ(me->inIdleAway(), c.away) << c.seconds;
        EXPECT_EQ(me->status(), c.away ? QStringLiteral("2") : QStringLiteral("1")) << c.seconds;
        EXPECT_EQ(me->idleTime(), c.away ? QString::number(qint64(c.seconds * 1000)) : QString())
            << c.seconds;
        // The first input brings the former status back.
        idle = 0.5;
        me->idleCheckTimer();
        EXPECT_EQ(me->status(), QStringLiteral("1")) << c.seconds;
        EXPECT_FALSE(me->inIdleAway());
    }
    // Unknown idleness (no X display) never sets away.
    idle = std::nullopt;
    me->idleCheckTimer();
    EXPECT_EQ(me->status(), QStringLiteral("1"));
}

TEST_F(MeTest, HandChosenStatusWhileAwayGivesWayToTheFormerOne) {
    Me *me = freshMe();
    idle = 700;
    me->idleCheckTimer();
    ASSERT_EQ(me->status(), QStringLiteral("2"));
    me->setStatus(QStringLiteral("1"));
    idle = 0;
    me->idleCheckTimer();
    EXPECT_EQ(me->status(), QStringLiteral("0"));
}

TEST_F(MeTest, SwitchingAutoAwayOffWhileAwayLeavesTheStatus) {
    Me *me = freshMe();
    Defaults::standard().setValue(QStringLiteral("autoAwayEnabled"), true);
    ASSERT_TRUE(me->autoAwayEnabled());
    idle = 700;
    me->idleCheckTimer();
    ASSERT_EQ(me->status(), QStringLiteral("2"));
    Defaults::standard().setValue(QStringLiteral("autoAwayEnabled"), false); // the binding follows
    EXPECT_FALSE(me->autoAwayEnabled());
    EXPECT_FALSE(me->inIdleAway());
    idle = 0;
    me->idleCheckTimer();
    EXPECT_EQ(me->status(), QStringLiteral("2"));
}

TEST_F(MeTest, ScreensaverAwayEndsWhenItStopsEvenIfTheSettingWasSwitchedOff) {
    Me *me = freshMe();
    me->screensaverDid(true);
    EXPECT_TRUE(me->inScreensaverAway());
    EXPECT_EQ(me->status(), QStringLiteral("2"));
    Defaults::standard().setValue(QStringLiteral("sreensaverAwayEnabled"), false);
    me->screensaverDid(false);
    EXPECT_FALSE(me->inScreensaverAway());
    EXPECT_EQ(me->status(), QStringLiteral("0")) << "never stuck away";
    // With the setting off, a start changes nothing.
    me->screensaverDid(true);
    EXPECT_FALSE(me->inScreensaverAway());
    EXPECT_EQ(me->status(), QStringLiteral("0"));
}

TEST_F(MeTest, AwayAndBusyTextsAreSentAsTheUserLeftThem) {
    Me *me = freshMe();
    Defaults &d = Defaults::standard();
    const QString away = QStringLiteral("awayMessage"), busy = QStringLiteral("busyMessage");
    d.registerDefaults({{away, QStringLiteral("Built-in away")}, {busy, QStringLiteral("Built-in busy")}});
    struct Case {
        const char *what;
        QVariant awayValue, busyValue; // invalid: the user set nothing
        const char *status;
        QString text;
    };
    const QList<Case> cases = {
        {"away, nothing set", {}, {}, "2", "Built-in away"},
        {"busy, nothing set", {}, {}, "1", "Built-in busy"},
        {"away, own text", QStringLiteral("Lunch"), {}, "2", "Lunch"},
        {"away, left empty", QStringLiteral(""), QStringLiteral("Meeting"), "2", ""},
        {"busy, left empty", QStringLiteral("Lunch"), QStringLiteral(""), "1", ""},
    };
    for (const Case &c : cases) {
        d.setValue(away, c.awayValue);
        d.setValue(busy, c.busyValue);
        me->setStatus(QStringLiteral("0"));
        me->setStatus(QString::fromLatin1(c.status));
        EXPECT_EQ(me->statusString(), c.text) << c.what;
    }
    d.removeObject(away);
    d.removeObject(busy);
}

TEST_F(MeTest, TheInformationAnswerMeasuresTheIdleTimeWhenAsked) {
    UserList roster;
    roster.setContext(ctx.get());
    UserList::setShared(&roster);
    Me *me = freshMe();
    roster.setMe(me);
    User *asker = ctx->insert<User>();
    asker->setUserId(QStringLiteral("A000000009"));
    TCPserver server(0, 0, false);
    const PacketArray request = {"TRI", "*", "pc-x", "A000000009", "*", me->userId(), "*", "*"};
    struct Case {
        const char *what;
        std::optional<double> idleAtLastCheck; // none: no check ran (auto-away off)
        double idleNow;
        QString sent;
    };
    const QList<Case> cases = {
        {"auto-away off, idle long", std::nullopt, 700, "700000"},
        {"auto-away off, busy at the keys", std::nullopt, 3, "*"},
        {"back since the last check", 900.0, 2, "*"},
        {"idle longer since the last check", 650.0, 1200, "1200000"},
    };
    for (const Case &c : cases) {
        me->setPrimitiveValue(QStringLiteral("idleTime"), QVariant());
        if (c.idleAtLastCheck) {
            idle = *c.idleAtLastCheck;
            me->idleCheckTimer();
        }
        idle = c.idleNow;
        const PacketArray reply = server.replyInfoRequest(request);
        ASSERT_EQ(reply.size(), 8) << c.what;
        EXPECT_EQ(UserInfoPacket::ParceUserInfo(reply.at(6).toData()).value(QStringLiteral("idleTime")),
                  c.sent)
            << c.what;
    }
    UserList::setShared(nullptr);
}

TEST_F(MeTest, CleanUserNameDropsTheForbiddenCharacters) {
    EXPECT_EQ(Me::cleanUserName(QStringLiteral("a%b<c>d:e\"f/g\\h|i?j*k")), QStringLiteral("abcdefghijk"));
    EXPECT_EQ(Me::cleanUserName(QStringLiteral("J\u00f6rg M\u00fcller")),
              QStringLiteral("J\u00f6rg M\u00fcller"));
}

} // namespace
