#pragma once

// A call's window stood in for by a view that records what the call asks of it, a store with
// the local user and peers who can take calls, and the packets the calls send.
#include "calls/Call.h"
#include "calls/CallPacket.h"
#include "calls/CallView.h"
#include "core/net/TCPserverTestSupport.h"
#include "platform/defaults/Defaults.h"

#include <QVariantList>

#include <functional>
#include <memory>
#include <vector>

class FakeCallView : public CallView {
public:
    explicit FakeCallView(Call *call) : call(call) { all().push_back(this); }
    ~FakeCallView() override { std::erase(all(), this); }

    // Every view alive, oldest first.
    static std::vector<FakeCallView *> &all() {
        static std::vector<FakeCallView *> views;
        return views;
    }
    static int &made() {
        static int count = 0;
        return count;
    }

    void loadPage(const QString &html, const QUrl &url) override {
        page = html;
        baseUrl = url;
    }
    void runScript(const QString &script) override { scripts.append(script); }
    void showWindow() override { shown = true; }
    void bringToFront() override { ++raised; }
    void setTitle(const QString &text) override { title = text; }
    void setMinimumContentWidth(int width) override { minWidth = width; }
    void closeWindow() override { closed = true; }
    CallPage::Colours colours() const override { return palette; }
    void requestConfirmation(int kind, std::function<void()> onSuccess,
                             std::function<void()> onEnd) override {
        confirmations.push_back({kind, std::move(onSuccess), std::move(onEnd)});
    }
    void chooseUsers(const QList<User *> &excludedUsers, std::function<void()> onClose,
                     std::function<void(const QList<User *> &)> done) override {
        excluded = excludedUsers;
        inviteClose = std::move(onClose);
        inviteDone = std::move(done);
    }
    void showConversation(User *u, Chat *c) override { conversations.push_back({u, c}); }
    void detachConversation() override { ++detached; }
    void openPrivacySettings(const QString &device) override { privacy.append(device); }
    void startRing() override { ringing = true; }
    void stopRing() override { ringing = false; }

    // The page reports a message.
    void pagePosts(const QString &name, const QString &data = QString()) {
        call->didReceiveScriptMessage(QVariantList{name, data});
    }
    // The data of every exeMsgReceived the page got for the name, in order.
    QStringList delivered(const QString &name) const {
        QStringList out;
        const QString head = QStringLiteral("exeMsgReceived({message:\"") + name + QStringLiteral("\",data:");
        for (const QString &s : scripts)
            if (s.startsWith(head)) out.append(s.mid(head.size()).chopped(3));
        return out;
    }
    // Answers the oldest open confirmation with its first button (yes) or not.
    void answer(bool yes) {
        auto sheet = std::move(confirmations.front());
        confirmations.erase(confirmations.begin());
        if (yes && sheet.onSuccess) sheet.onSuccess();
        if (sheet.onEnd) sheet.onEnd();
    }

    struct Sheet {
        int kind;
        std::function<void()> onSuccess;
        std::function<void()> onEnd;
    };
    Call *call;
    QString page;
    QUrl baseUrl;
    QStringList scripts;
    bool shown = false;
    int raised = 0;
    QString title;
    int minWidth = 0;
    bool closed = false;
    CallPage::Colours palette;
    std::vector<Sheet> confirmations;
    QList<User *> excluded;
    std::function<void()> inviteClose;
    std::function<void(const QList<User *> &)> inviteDone;
    std::vector<std::pair<User *, Chat *>> conversations;
    int detached = 0;
    QStringList privacy;
    bool ringing = false;
};

// A packet a call sent, and to whom.
struct SentPacket {
    PacketArray packet;
    User *to;
    QString word() const { return packet.value(0).toString(); }
    QString field(int i) const { return packet.value(i).toString(); }
};

class CallFixture : public MessagingFixture {
protected:
    void SetUp() override {
        MessagingFixture::SetUp();
        FakeCallView::made() = 0;
        Call::setViewFactory([](Call *call) {
            ++FakeCallView::made();
            return std::make_unique<FakeCallView>(call);
        });
        Call::setPacketSender([this](const PacketArray &p, User *to) { sent.push_back({p, to}); });
        Call::setTerminating(false);
        CallPage::setResourceRoot(QStringLiteral(MURNAVELL_TEST_DATA "/../../src/calls/page"));
        Defaults::standard().setValue(QStringLiteral("sounds.enabled"), true);
        Defaults::standard().setValue(QStringLiteral("sounds.onCall"), true);
        Defaults::standard().removeObject(QStringLiteral("CallInternals"));
        bob = callable(QStringLiteral("A000000002"), QStringLiteral("Bob"));
        carol = callable(QStringLiteral("A000000003"), QStringLiteral("Carol"));
    }
    void TearDown() override {
        for (Call *call : Call::liveCalls()) call->windowClose();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Call::setViewFactory({});
        Call::setPacketSender({});
        Call::setReadyTimeout(Call::DefaultReadyTimeoutMs);
        Call::setCameraDenied(false);
        Call::setMicrophoneDenied(false);
        CallPacket::setRandomSource({});
        CallPage::setResourceRoot(QString());
        MessagingFixture::TearDown();
    }

    // An online peer running a copy of this system, which takes calls.
    User *callable(const QString &id, const QString &name) {
        User *u = peer(id, name);
        u->setVersion(QStringLiteral("5.0.0"));
        u->setOSversion(QStringLiteral("Mac OS X Debian GNU/Linux 12 (bookworm)"));
        return u;
    }
    static FakeCallView *viewOf(Call *call) { return static_cast<FakeCallView *>(call->view()); }

    // A "TRTCACTION" from the user with the page text.
    static PacketArray data(const User *from, const QString &text, const QString &callId,
                            const QString &roomId = QStringLiteral("0")) {
        return {CallPacket::dataWord(),
                "*",
                "pc-" + from->name(),
                from->userId(),
                "*",
                QStringLiteral("A000000001"),
                CallPacket::encodePayload(text),
                CallPacket::callField(callId, roomId)};
    }
    static PacketArray closed(const User *from, const QString &callId) {
        return {CallPacket::closedWord(),     "*",    "pc", from->userId(), "*",
                QStringLiteral("A000000001"), callId, "*"};
    }
    // A signalling text as the page writes one.
    static QString offer(const QString &from, const QString &session = QStringLiteral("abcdef0123")) {
        return QStringLiteral(
                   R"({"v":1,"type":"offer","from":"%1","name":"Peer","session":"%2","sdp":"v=0\r\n"})")
            .arg(from, session);
    }
    std::vector<SentPacket> sentWord(const QString &word) const {
        std::vector<SentPacket> out;
        for (const SentPacket &p : sent)
            if (p.word() == word) out.push_back(p);
        return out;
    }

    User *bob = nullptr;
    User *carol = nullptr;
    std::vector<SentPacket> sent;
};
