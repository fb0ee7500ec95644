#pragma once

#include "core/model/UserListModel.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <sqlite3.h>

// Records the objects of one notification name, in order, while it lives.
class NoticeRecorder {
public:
    explicit NoticeRecorder(const QString &name) {
        m_token = NotificationCenter::defaultCenter().addObserver(
            name, nullptr, [this](const Notification &n) { objects.push_back(n.object); });
    }
    ~NoticeRecorder() { NotificationCenter::defaultCenter().removeObserver(m_token); }
    int count(const void *object) const { return int(std::count(objects.begin(), objects.end(), object)); }
    std::vector<const void *> objects;

private:
    NotificationCenter::Token m_token;
};

// A store file in a private folder, a fixed clock, and a way to close and reopen the store.
class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000);
        Clock::setNowFunction([this] { return now; });
        reopen();
    }
    void TearDown() override {
        ctx.reset();
        Clock::setNowFunction({});
    }
    QString path() const { return dir.filePath(QStringLiteral("test.storedata")); }
    void reopen() {
        ctx.reset();
        ctx = std::make_unique<ManagedObjectContext>(UserListModel::model());
        StoreError error;
        ASSERT_TRUE(ctx->open(path(), &error)) << error.message.toStdString();
    }
    void save() {
        StoreError error;
        ASSERT_TRUE(ctx->save(&error)) << error.message.toStdString();
    }
    // One value from the file, read past the object layer.
    QVariant sql(const QString &query) {
        sqlite3_stmt *stmt = nullptr;
        QVariant out;
        if (sqlite3_prepare_v2(ctx->database(), query.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
            return QStringLiteral("prepare failed");
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            switch (sqlite3_column_type(stmt, 0)) {
            case SQLITE_INTEGER:
                out = qint64(sqlite3_column_int64(stmt, 0));
                break;
            case SQLITE_NULL:
                break;
            default:
                out = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
            }
        }
        sqlite3_finalize(stmt);
        return out;
    }
    void exec(const QString &statement) {
        ASSERT_EQ(sqlite3_exec(ctx->database(), statement.toUtf8().constData(), nullptr, nullptr, nullptr),
                  SQLITE_OK)
            << statement.toStdString();
    }

    QTemporaryDir dir;
    QDateTime now;
    std::unique_ptr<ManagedObjectContext> ctx;
};
