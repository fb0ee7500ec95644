#pragma once

// Shared pieces of the store tests: a private data folder per test, a presenter that records,
// and small file helpers.
#include "core/app/ErrorPresenter.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdlib>
#include <ostream>
#include <vector>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

// Points XDG_DATA_HOME at a fresh folder for the life of the object.
class TempDataHome {
public:
    TempDataHome() : m_old(qgetenv("XDG_DATA_HOME")) { qputenv("XDG_DATA_HOME", m_dir.path().toLocal8Bit()); }
    ~TempDataHome() { qputenv("XDG_DATA_HOME", m_old); }
    QString path() const { return m_dir.path(); }
    QString folder() const { return m_dir.path() + "/Murnavell"; }

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
};

class RecordingPresenter : public ErrorPresenter {
public:
    RecordingPresenter() { ErrorPresenter::install(this); }
    ~RecordingPresenter() override { ErrorPresenter::install(nullptr); }
    void presentError(const AppError &error) override { errors.push_back(error); }
    // Errors of the store are presented on the main loop's next turn.
    const std::vector<AppError> &afterEvents() {
        QCoreApplication::processEvents();
        return errors;
    }
    std::vector<AppError> errors;
};

inline QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The names in a folder, sorted, without "." and "..".
inline QStringList entriesOf(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}
