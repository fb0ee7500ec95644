#pragma once

#include "core/app/AppError.h"

#include <QString>
#include <QStringList>

#include <functional>

// Moves the history from the old XML store into a new SQLite store, all or nothing: the rows
// are written into a temporary file beside the target, which is made durable and then renamed
// to the target; the old file is deleted only after the rename. A run cut short anywhere
// leaves the old file and no target, so the next start migrates again.
class XmlStoreMigration {
public:
    static const QString errorDomain;

    // Points where tests stop the run as a crash would (the files are left as they are).
    enum class Step { BeforeRename, BeforeDeletingOld };
    using FaultHook = std::function<bool(Step)>; // true: stop here

    XmlStoreMigration(QString oldPath, QString newPath);

    void setFaultHook(FaultHook hook) { m_faultHook = std::move(hook); }

    bool run();

    const AppError &error() const { return m_error; }
    const QStringList &warnings() const { return m_warnings; }
    int migratedObjects() const { return m_migrated; }

    // The file the rows are written into before the rename.
    static QString temporaryPath(const QString &newPath) { return newPath + QStringLiteral(".migrating"); }

private:
    bool fail(int code, const QString &description);
    void warn(const QString &text);
    void removeTemporaryFiles() const;

    QString m_oldPath;
    QString m_newPath;
    FaultHook m_faultHook;
    AppError m_error;
    QStringList m_warnings;
    int m_migrated = 0;
};
