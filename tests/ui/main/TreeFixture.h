#pragma once

// A store of its own for each test of the user tree and the windows over it (the program's
// context, in a private folder): groups and users made by name, the tree read back as text, and
// a catch for every complaint of Qt's model tester.
#include "core/app/KDTAppDelegate.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "ui/main/OutlineViewDataSource.h"

#include <QAbstractItemModel>
#include <QLoggingCategory>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

// Collects what QAbstractItemModelTester reports (its category "qt.modeltest") while it lives.
class ModelComplaints {
public:
    ModelComplaints() {
        list().clear();
        m_previous = qInstallMessageHandler(&ModelComplaints::handler);
    }
    ~ModelComplaints() { qInstallMessageHandler(m_previous); }
    static QStringList &list() {
        static QStringList messages;
        return messages;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
        if (type != QtDebugMsg && context.category && QByteArray(context.category).startsWith("qt.modeltest"))
            list() << message;
    }
    QtMessageHandler m_previous = nullptr;
};

class TreeFixture : public ::testing::Test {
protected:
    void SetUp() override {
        KDTAppDelegate::initialize(Defaults::standard(), {"en-US"});
        Defaults::standard().removeObject("hideOfflineUsers");
        // Coming online would look for held messages in the program's store.
        MessageForForwarding::setSendOnUserInHandler([](User *) {});
        ASSERT_TRUE(dataHome.isValid());
        m_oldDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
        delegate = std::make_unique<KDTAppDelegate>();
        KDTAppDelegate::setShared(delegate.get());
        ctx = delegate->managedObjectContext();
        ASSERT_EQ(delegate->storeState(), KDTAppDelegate::StoreState::OnDisk);
    }
    void TearDown() override {
        Defaults::standard().removeObject("hideOfflineUsers");
        MessageForForwarding::setSendOnUserInHandler({});
        Me::setCurrent(nullptr);
        KDTAppDelegate::setShared(nullptr);
        delegate.reset();
        qputenv("XDG_DATA_HOME", m_oldDataHome);
    }

    Group *group(const QString &name) {
        auto *g = ctx->insert<Group>();
        g->setName(name);
        return g;
    }
    User *user(const QString &name, Group *in, const QString &status = QStringLiteral("0")) {
        auto *u = ctx->insert<User>();
        u->setUserId(QStringLiteral("A%1").arg(++m_ids, 9, 10, QLatin1Char('0')));
        u->setName(name);
        u->setGroup(in);
        u->setStatus(status);
        return u;
    }
    Me *me(const QString &name, Group *in) {
        auto *m = ctx->insert<Me>();
        m->setUserId(QStringLiteral("A999999999"));
        m->setName(name);
        m->setGroup(in);
        Me::setCurrent(m);
        m->setStatus(QStringLiteral("0"));
        return m;
    }

    // The tree as "Group: user, user" lines; offline users carry a "~".
    static QStringList rows(const QAbstractItemModel &model) {
        QStringList lines;
        for (int g = 0; g < model.rowCount(); ++g) {
            const QModelIndex group = model.index(g, 0);
            QStringList users;
            for (int u = 0; u < model.rowCount(group); ++u) {
                const QModelIndex user = model.index(u, 0, group);
                const bool offline =
                    user.data(OutlineViewDataSource::StatusRole).toString() == QLatin1String("10");
                users << (offline ? QStringLiteral("~") : QString()) + user.data().toString();
            }
            lines << group.data().toString() + QStringLiteral(": ") + users.join(QStringLiteral(", "));
        }
        return lines;
    }

    QTemporaryDir dataHome;
    std::unique_ptr<KDTAppDelegate> delegate;
    ManagedObjectContext *ctx = nullptr;
    int m_ids = 0;
    QByteArray m_oldDataHome;
};
