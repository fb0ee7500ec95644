#include "transfer/SingleFile.h"

#include "transfer/HeaderRecord.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString fromWide(const QString &wide) { return QString::fromUtf8(QByteArray::fromBase64(wide.toLatin1())); }

QString toWide(const QString &text) {
    return text.isEmpty() ? QString(QLatin1String("")) : QString::fromLatin1(text.toUtf8().toBase64());
}

// Whether the name is taken in the folder; nothing when it cannot be looked up at all (a name
// too long for the file system, a folder that cannot be searched), as then no numbered form of
// it can be had either.
std::optional<bool> takenAt(int folder, const QString &name) {
    struct stat st;
    if (::fstatat(folder, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    if (errno == ENOENT) return false;
    return std::nullopt;
}

// Where the search for a free numbered name last ended, per folder and name: a name repeated
// many times costs one look per file instead of a look at every earlier copy. Forgotten as a
// whole when it grows large; a search then only starts lower. Transfers name their files on
// their own threads, so it is used under its lock (the disk's answer, not this, decides which
// name is free: a stale number only makes a search start lower).
struct NextNumbers {
    std::mutex lock;
    QHash<QString, int> numbers;
};
NextNumbers &nextNumbers() {
    static NextNumbers next;
    return next;
}

// "name", then "name (2).ext", "name (3).ext", ...: the first that is free beside its
// incomplete form too.
QString freeName(int folder, const QString &folderPath, const QString &name, int start) {
    const QFileInfo info(name);
    const QString suffix = info.suffix();
    const bool hasSuffix = !suffix.isEmpty() && !info.completeBaseName().isEmpty();
    const QString base = hasSuffix ? name.left(name.size() - suffix.size() - 1) : name;
    const QString key = folderPath + QChar(0) + name;
    NextNumbers &next = nextNumbers();
    int from = start;
    {
        const std::lock_guard guard(next.lock);
        from = std::max(start, next.numbers.value(key, start));
    }
    for (int n = from; n < from + 10000; ++n) {
        const QString candidate = n < 2 ? name
                                        : base + QStringLiteral(" (%1)").arg(n) +
                                              (hasSuffix ? QLatin1Char('.') + suffix : QString());
        std::optional<bool> taken = takenAt(folder, candidate);
        if (taken == false) taken = takenAt(folder, candidate + SingleFile::incompleteSuffix());
        // A peer's name the disk cannot hold would otherwise cost ten thousand futile looks.
        if (!taken) return QString();
        if (!*taken) {
            const std::lock_guard guard(next.lock);
            if (next.numbers.size() >= 4096) next.numbers.clear();
            next.numbers.insert(key, n);
            return candidate;
        }
    }
    return QString();
}

// The process's file-creation mask, read without changing it (umask() can only set it, and
// setting it back races with files other threads create meanwhile).
mode_t currentUmask() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (!line.startsWith("Umask:")) continue;
            bool ok = false;
            const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
            if (ok) return mode_t(mask & 0777);
        }
    }
    // Without /proc: the strictest usual mask rather than none.
    return 077;
}

// Control characters (CR, LF, escape sequences, ...) would break lines in listings and logs or
// drive a terminal that shows the name; each becomes "_". NUL is refused by isSafeName instead.
QString withoutControls(const QString &name) {
    QString out = name;
    for (QChar &c : out)
        if (c.unicode() != 0 && c.category() == QChar::Other_Control) c = QLatin1Char('_');
    return out;
}

bool renameNoReplace(int folder, const QString &from, const QString &to) {
    const QByteArray f = QFile::encodeName(from), t = QFile::encodeName(to);
    if (::renameat2(folder, f.constData(), folder, t.constData(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag: a hard link never replaces an existing name either.
    if (::linkat(folder, f.constData(), folder, t.constData(), 0) != 0) return false;
    ::unlinkat(folder, f.constData(), 0);
    return true;
}

} // namespace

SingleFile::~SingleFile() { releaseStream(); }

void SingleFile::applyHeaderFields(const QHash<QString, QString> &fields) {
    const auto take = [&](const char *key, QString *field) {
        const auto it = fields.constFind(QLatin1String(key));
        if (it != fields.constEnd()) *field = *it;
    };
    take("content_type", &content_type);
    take("file_path", &file_path);
    take("file_name", &file_name);
    take("file_size", &file_size);
    take("file_permissions", &file_permissions);
    take("file_widepath", &file_widepath);
    take("file_widename", &file_widename);
}

QStringList SingleFile::headerPairs(bool wide) {
    QStringList pairs = {QStringLiteral("CONTENT-TYPE"),     QStringLiteral("SENDFILESTREAM"),
                         QStringLiteral("FILE-PATH"),        file_path,
                         QStringLiteral("FILE-NAME"),        file_name,
                         QStringLiteral("FILE-SIZE"),        QString::number(bytesTotal),
                         QStringLiteral("FILE-PERMISSIONS"), QString::number(permissions)};
    if (wide) {
        updateOutgoingUtf8headers();
        pairs << QStringLiteral("FILE-WIDEPATH") << file_widepath << QStringLiteral("FILE-WIDENAME")
              << file_widename;
    }
    return pairs;
}

void SingleFile::updateOutgoingUtf8headers() {
    file_widepath = toWide(file_path);
    file_widename = toWide(file_name);
}

void SingleFile::updateIncomingUtf8headers() {
    if (!file_widename.isEmpty()) file_name = fromWide(file_widename);
    if (!file_widepath.isEmpty()) file_path = fromWide(file_widepath);
}

bool SingleFile::isSafeName(const QString &name) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.contains(QChar(0)))
        return false;
    return name.toUtf8().size() <= 255;
}

namespace {
constexpr int kMaxFolderPathBytes = 4096;
}

std::optional<QStringList> SingleFile::safeFolderComponents(const QString &path) {
    // A peer must not make us build a tree thousands of folders deep: no longer than a path
    // may be here.
    if (path.toUtf8().size() > kMaxFolderPathBytes) return std::nullopt;
    QString p = path;
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (p.startsWith(QLatin1Char('/'))) return std::nullopt;
    if (p.size() >= 2 && p.at(1) == QLatin1Char(':') && p.at(0).isLetter()) return std::nullopt;
    QStringList out;
    for (const QString &component : p.split(QLatin1Char('/'))) {
        if (component.isEmpty() || component == QLatin1String(".")) continue;
        if (!isSafeName(component)) return std::nullopt;
        out.append(withoutControls(component));
    }
    return out;
}

bool SingleFile::prepareFolderAndStream(const QUrl &folderPath) {
    releaseStream();
    bytesReceived = 0;
    bytesTotal = HeaderRecord::leadingNumber(file_size);
    const QString root = folderPath.toLocalFile();
    const std::optional<QStringList> components = safeFolderComponents(file_path);
    if (bytesTotal < 0 || root.isEmpty() || !components || !isSafeName(file_name)) return false;
    const QString fileName = withoutControls(file_name);

    int folder = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (folder < 0) return false;
    QString folderText = root;
    for (const QString &component : *components) {
        const QByteArray c = QFile::encodeName(component);
        const bool made = ::mkdirat(folder, c.constData(), 0777) == 0;
        // A new folder's entry is on the disk before any file in it is confirmed.
        if ((!made && errno != EEXIST) || (made && ::fsync(folder) != 0)) {
            ::close(folder);
            return false;
        }
        // A link planted in the tree is never followed out of it.
        const int next = ::openat(folder, c.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        ::close(folder);
        if (next < 0) return false;
        folder = next;
        folderText += QLatin1Char('/') + component;
    }

    // Every transfer has a folder of its own, so a name is only taken by an earlier file of the
    // same transfer; that file is kept and this one gets a numbered name.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name = freeName(folder, folderText, fileName, 1);
        if (name.isEmpty()) break;
        const QString disk = name + incompleteSuffix();
        const int fd = ::openat(folder, QFile::encodeName(disk).constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_out = fd;
            m_written = 0;
            m_folder = folder;
            m_folderPath = folderText;
            m_finalName = name;
            m_diskName = disk;
            fileFullPath = folderText + QLatin1Char('/') + name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    ::close(folder);
    return false;
}

bool SingleFile::syncFolder(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool SingleFile::prepareStream() {
    if (m_in >= 0) return true;
    m_in = ::open(QFile::encodeName(fileFullPath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_in < 0) return false;
    struct stat st;
    // Only a regular file: a fifo or device put in its place would block or never end.
    if (::fstat(m_in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(m_in);
        m_in = -1;
        return false;
    }
    ::fcntl(m_in, F_SETFL, ::fcntl(m_in, F_GETFL) & ~O_NONBLOCK);
    return true;
}

bool SingleFile::releaseStream(int *folderToSync) {
    if (folderToSync) *folderToSync = -1;
    bool ok = true;
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
    if (m_out >= 0) {
        // Only the permission bits, and only those the user's mask allows, as for any file made
        // here: set-id and sticky bits from a peer are never applied, nor write access for all.
        if (!file_permissions.isEmpty())
            ::fchmod(m_out, mode_t(HeaderRecord::leadingNumber(file_permissions) & 0777 & ~currentUmask()));
        // A complete file's bytes are on the disk before its name says it is whole, and the
        // name before the sender is told (after a power cut it would show complete and be empty
        // here). An incomplete one is confirmed to nobody.
        const bool complete = isComplete();
        ok = !complete || ::fsync(m_out) == 0;
        // Some file systems report a failed write only here.
        ok = (::close(m_out) == 0 || errno == EINTR) && ok;
        m_out = -1;
        if (ok && complete) {
            ok = false;
            QString name = m_finalName;
            for (int attempt = 0; attempt < 16 && !name.isEmpty(); ++attempt) {
                if (renameNoReplace(m_folder, m_diskName, name)) {
                    m_diskName = name;
                    fileFullPath = m_folderPath + QLatin1Char('/') + name;
                    if (folderToSync) {
                        *folderToSync = m_folder;
                        m_folder = -1;
                        ok = true;
                    } else {
                        ok = ::fsync(m_folder) == 0;
                    }
                    break;
                }
                if (errno != EEXIST) break;
                name = freeName(m_folder, m_folderPath, m_finalName, 2);
            }
        }
    }
    if (m_folder >= 0) {
        ::close(m_folder);
        m_folder = -1;
    }
    return ok;
}

bool SingleFile::readChunk(char *data, qint64 length) {
    if (m_in < 0) return false;
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::read(m_in, data + done, size_t(length - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

bool SingleFile::writeChunk(const char *data, qint64 length) {
    if (m_out < 0) return false;
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::write(m_out, data + done, size_t(length - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    const qint64 start = m_written;
    m_written += length;
    // The disk starts on these bytes now, while the next ones travel, so the sync that ends a
    // large file waits for its last piece only, not for all of it. Only a start: the sync
    // before the rename stays what makes the file durable. The last piece is left to that sync.
    if (length > 0 && m_written < bytesTotal) ::sync_file_range(m_out, start, length, SYNC_FILE_RANGE_WRITE);
    return true;
}

QString SingleFile::pathOnDisk() const {
    return m_diskName.isEmpty() ? fileFullPath : m_folderPath + QLatin1Char('/') + m_diskName;
}
