// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settings/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace wl {

namespace {
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    bool close()
    {
        const int fd = std::exchange(m_fd, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

// Creates the folder and its missing parents for the owner alone, whatever the umask.
bool makeFolders(const QByteArray& folder)
{
    struct stat st
    {
    };
    if (stat(folder.constData(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash > 0 && !makeFolders(folder.left(slash)))
        return false;
    if (mkdir(folder.constData(), 0700) != 0)
        return errno == EEXIST && stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode);
    return chmod(folder.constData(), 0700) == 0;
}

// A link to a regular file (settings kept elsewhere) is written through; anything else at the
// path is replaced.
QString writeTarget(const QString& path)
{
    struct stat st
    {
    };
    if (lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    const QString target = QFileInfo(path).canonicalFilePath(); // resolves, opens nothing
    if (!target.isEmpty() && stat(QFile::encodeName(target).constData(), &st) == 0 &&
        S_ISREG(st.st_mode))
        return target;
    return path;
}

// A file the user made read-only is left alone.
bool isProtected(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    return lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           faccessat(AT_FDCWD, name.constData(), W_OK, AT_EACCESS) != 0;
}

// The content goes to a new private file beside the target, renamed over it: nothing is ever
// opened at the path itself, so whatever sits there cannot block, and a reader finds the old
// file or the new one, never a part.
bool replaceFile(const QString& target, const QByteArray& content)
{
    const QString folder = QFileInfo(target).absolutePath();
    if (!makeFolders(QFile::encodeName(QDir::cleanPath(folder))))
        return false;
    QByteArray temp =
        QFile::encodeName(folder + QStringLiteral("/.") + QFileInfo(target).fileName()) + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    FileDescriptor file(fd);
    QFile out;
    bool ok = fchmod(fd, 0600) == 0 &&
              out.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFile::DontCloseHandle) &&
              out.write(content) == content.size() && fsync(fd) == 0;
    ok = file.close() && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}
} // namespace

// Opened without blocking, so that a FIFO or a device at the path cannot hold the program up,
// and read only if what was opened is a regular file.
SettingsFileRead readSettingsFile(const QString& path)
{
    SettingsFileRead result;
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        struct stat st
        {
        };
        if (errno == ENOENT || errno == ENOTDIR)
            result.kind = SettingsFileRead::Absent;
        else if (lstat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            result.kind = SettingsFileRead::NotRegular; // a socket, say
        else
            result.kind = SettingsFileRead::Unreadable;
        return result;
    }
    FileDescriptor closer(fd);
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0) {
        result.kind = SettingsFileRead::Unreadable;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.kind = SettingsFileRead::NotRegular;
        return result;
    }
    // One byte more than the limit tells a file that is too big, even one still growing.
    const qsizetype wanted = qsizetype(std::min<qint64>(st.st_size, kMaxSettingsFileSize)) + 1;
    QByteArray content(std::max<qsizetype>(wanted, 4096), Qt::Uninitialized);
    qsizetype got = 0;
    while (got <= kMaxSettingsFileSize) {
        if (got == content.size())
            content.resize(std::min(content.size() * 2, kMaxSettingsFileSize + 1));
        const ssize_t n = ::read(fd, content.data() + got, size_t(content.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.kind = SettingsFileRead::Unreadable;
            return result;
        }
        if (n == 0)
            break;
        got += n;
    }
    result.kind = SettingsFileRead::Regular;
    result.oversized = got > kMaxSettingsFileSize;
    content.resize(std::min(got, kMaxSettingsFileSize));
    result.content = std::move(content);
    return result;
}

bool writeSettingsFile(const QString& path, const QByteArray& content)
{
    const QString target = writeTarget(path);
    return !isProtected(target) && replaceFile(target, content);
}

} // namespace wl
