#pragma once

#include "core/model/TreeItem.h"
#include "core/wire/PacketField.h"

#include <QPointer>

#include <functional>
#include <optional>

class Group;
class LogEntry;
class ManagedObjectContext;
class Message;
class MessageForForwarding;

// One peer on the network, and the base of Me.
class User : public TreeItem {
public:
    static constexpr const char *EntityName = "User";

    // Also finds the Me row. Null for an empty id or an unknown one.
    static User *findByUserId(ManagedObjectContext *context, const QString &userId);

    QString userId() const { return stringValue(QStringLiteral("userId")); }
    void setUserId(const QString &v) { setValue(QStringLiteral("userId"), v); }
    QString pc() const { return stringValue(QStringLiteral("pc")); }
    void setPc(const QString &v) { setValue(QStringLiteral("pc"), v); }
    QString ip() const { return stringValue(QStringLiteral("ip")); }
    void setIp(const QString &v) { setValue(QStringLiteral("ip"), v); }
    QString logonUser() const { return stringValue(QStringLiteral("logonUser")); }
    void setLogonUser(const QString &v) { setValue(QStringLiteral("logonUser"), v); }
    QString oSversion() const { return stringValue(QStringLiteral("oSversion")); }
    void setOSversion(const QString &v) { setValue(QStringLiteral("oSversion"), v); }
    QString version() const { return stringValue(QStringLiteral("version")); }
    void setVersion(const QString &v) { setValue(QStringLiteral("version"), v); }
    QString firstName() const { return stringValue(QStringLiteral("firstName")); }
    void setFirstName(const QString &v) { setValue(QStringLiteral("firstName"), v); }
    QString lastName() const { return stringValue(QStringLiteral("lastName")); }
    void setLastName(const QString &v) { setValue(QStringLiteral("lastName"), v); }
    QString department() const { return stringValue(QStringLiteral("department")); }
    void setDepartment(const QString &v) { setValue(QStringLiteral("department"), v); }
    QString jobTitle() const { return stringValue(QStringLiteral("jobTitle")); }
    void setJobTitle(const QString &v) { setValue(QStringLiteral("jobTitle"), v); }
    QString additionalInformation() const { return stringValue(QStringLiteral("additionalInformation")); }
    void setAdditionalInformation(const QString &v) { setValue(QStringLiteral("additionalInformation"), v); }
    QString status() const { return stringValue(QStringLiteral("status")); }
    QString statusString() const { return stringValue(QStringLiteral("statusString")); }
    void setStatusString(const QString &v) { setValue(QStringLiteral("statusString"), v); }
    QString idleTime() const { return stringValue(QStringLiteral("idleTime")); }
    void setIdleTime(const QString &v) { setValue(QStringLiteral("idleTime"), v); }
    QString isOnTS() const { return stringValue(QStringLiteral("isOnTS")); }
    void setIsOnTS(const QString &v) { setValue(QStringLiteral("isOnTS"), v); }
    QString tsClientIP() const { return stringValue(QStringLiteral("tsClientIP")); }
    void setTsClientIP(const QString &v) { setValue(QStringLiteral("tsClientIP"), v); }
    QString tsServerIP() const { return stringValue(QStringLiteral("tsServerIP")); }
    void setTsServerIP(const QString &v) { setValue(QStringLiteral("tsServerIP"), v); }
    QString tsClientPCname() const { return stringValue(QStringLiteral("tsClientPCname")); }
    void setTsClientPCname(const QString &v) { setValue(QStringLiteral("tsClientPCname"), v); }
    QString tsConnectionState() const { return stringValue(QStringLiteral("tsConnectionState")); }
    void setTsConnectionState(const QString &v) { setValue(QStringLiteral("tsConnectionState"), v); }
    bool userOffline() const { return boolValue(QStringLiteral("userOffline")); }
    void setUserOffline(bool v) { setValue(QStringLiteral("userOffline"), v); }
    bool removed() const { return boolValue(QStringLiteral("removed")); }
    void setRemoved(bool v) { setValue(QStringLiteral("removed"), v); }
    QDateTime seenLastTime() const { return dateValue(QStringLiteral("seenLastTime")); }
    void setSeenLastTime(const QDateTime &v) { setValue(QStringLiteral("seenLastTime"), v); }
    qint64 sessionId() const { return integerValue(QStringLiteral("sessionId")); }
    void setSessionId(qint64 v) { setValue(QStringLiteral("sessionId"), v); }

    // Relationships. `log` is never loaded as a whole: read it with the queries below.
    Group *group() const;
    void setGroup(Group *group);
    void addLogObject(LogEntry *entry);
    void removeLogObject(LogEntry *entry);
    QList<MessageForForwarding *> offlineMessages() const;
    void addOfflineMessagesObject(MessageForForwarding *message);
    void removeOfflineMessagesObject(MessageForForwarding *message);
    QList<MessageForForwarding *> offlineMessagesSent() const;

    // The user's history: entries with no chat and this user among `user`, newest first.
    // They include changes not saved yet.
    qint64 logEntriesNumber() const;
    QList<LogEntry *> lastLogEnties(int n) const;
    // The n entries just older than the key (timeReceived, rowId), newest first.
    QList<LogEntry *> logEntriesBefore(const QDateTime &timeReceived, qint64 rowId, int n) const;

    // Posts "userChangedHisName" (object: this user) when the name really changes.
    void setName(const QString &name) override;
    // Keeps status, offline flag, icon and the offline-forwarding check in step.
    virtual void setStatus(const QString &status);
    void updateIcon();

    // Peer operations.
    // Stores a message from the local user to this user (or, with a set, a mass message to the
    // set, of which this user is any member) and sends it to every recipient that is online.
    Message *SendMessage(const QString &text, const std::optional<QList<User *>> &toMass = std::nullopt);
    // Holds the message for its offline recipients and hands a copy to every online user ("TSOM",
    // "TSOMM"); the receiver object plays no part. Recipients already held for this message are
    // left out, so a second failed delivery of a mass message hands over only the new ones. A
    // handler set here replaces the work (tests).
    void SendOfflineMessageIfNeeded(Message *message);
    static void setOfflineHandOverHandler(std::function<void(User *, Message *)> handler);
    // "TRI" over TCP, with nothing attached.
    void RequestUserInfo();
    // A typing notice, at most one each 2 s. The UDP server installs the sender.
    void sendIsTyping();
    static void setTypingNoticeSender(std::function<void(User *)> sender);
    bool isWindows() const;
    // The peer takes UTF-8 text.
    bool UTF8compatible() const;
    // The peer takes audio and video calls; cached until resetCanCall.
    bool canCall();
    void resetCanCall() { m_canCall = -1; }
    void StartConversation(bool incoming);
    // Brings a newly received line to the user's window.
    void MessageReceived();
    static QString getUserNamesFromSet(const QList<User *> &users);
    // A new message id: two random numbers below 9999999, their decimals joined.
    static qint64 genInt64random();
    static void setRandomSource(std::function<quint32(quint32 bound)> source);
    // A Message or, failing that, a MessageForForwarding with the id is stored.
    static bool messageIdExists(ManagedObjectContext *context, qint64 messageId);
    // The packet arrays these operations send (the recipient's id in field 5).
    static PacketArray messagePacket(const Message *message, const User *recipient);
    static PacketArray infoRequestPacket(const User *target);
    // The hand-over of the message for the offline recipient, under the id, to the holder.
    static PacketArray handOverPacket(const Message *message, const User *recipient, qint64 id,
                                      const User *holder);

    // Transient members.
    int canCallCache() const { return m_canCall; } // -1 unknown, 0 no, 1 yes
    void setCanCallCache(int value) { m_canCall = value; }
    QDateTime typingSent() const { return m_typingSent; }
    void setTypingSent(const QDateTime &v) { m_typingSent = v; }
    QDateTime typingReceived() const { return m_typingReceived; }
    // Observers see "typingReceived" change (the conversation window shows the typing notice).
    void setTypingReceived(const QDateTime &v) {
        const QDateTime old = m_typingReceived;
        m_typingReceived = v;
        if (old != v) notifyTransientChange(QStringLiteral("typingReceived"), old);
    }
    QObject *conversationWindow() const { return m_conversationWindow; }
    void setConversationWindow(QObject *window) { m_conversationWindow = window; }
    QObject *userInfoWindow() const { return m_userInfoWindow; }
    void setUserInfoWindow(QObject *window) { m_userInfoWindow = window; }

protected:
    void awakeFromInsert() override;
    void awakeFromFetch() override;

private:
    int m_canCall = -1;
    QDateTime m_typingSent;
    QDateTime m_typingReceived;
    QPointer<QObject> m_conversationWindow;
    QPointer<QObject> m_userInfoWindow;
};
