#pragma once

#include <QString>
#include <QVariantMap>

#include <utility>

// An error object of the socket classes: domain, code and a description for people. A null
// error (empty domain) means "no error"; code() of it is 0.
class SocketError {
public:
    SocketError() = default;
    SocketError(QString domain, int code, QString description, QVariantMap userInfo = {})
        : domain_(std::move(domain)), code_(code), description_(std::move(description)),
          userInfo_(std::move(userInfo)) {}

    bool isNull() const { return domain_.isEmpty(); }
    explicit operator bool() const { return !isNull(); }
    const QString &domain() const { return domain_; }
    int code() const { return code_; }
    const QString &localizedDescription() const { return description_; }
    const QVariantMap &userInfo() const { return userInfo_; }

private:
    QString domain_;
    int code_ = 0;
    QString description_;
    QVariantMap userInfo_;
};
