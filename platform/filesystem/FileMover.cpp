#include "FileMover.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Read once, before any thread runs: reading the mask means setting it, which would briefly change the mode
// of files that other threads create meanwhile.
const mode_t startupUmask = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}();

QString describe(int errorNumber) {
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

bool copyContents(int from, int to, QString* error) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t count = read(from, buffer, sizeof buffer);
        if (count == 0) {
            return true;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = describe(errno);
            return false;
        }
        for (ssize_t written = 0; written < count;) {
            const ssize_t result = write(to, buffer + written, static_cast<std::size_t>(count - written));
            if (result < 0) {
                if (errno == EINTR) {
                    continue;
                }
                *error = describe(errno);
                return false;
            }
            written += result;
        }
    }
}

std::atomic<bool> renameWithoutReplacingAllowed{true};
std::atomic<bool> hardLinksAllowed{true};

// Renames `from` to `to` unless something is at `to`, in one step: 0 when done, else the errno (EEXIST
// when the name is taken, EXDEV across file systems).
int renameWithoutReplacing(const char* from, const char* to) {
    if (renameWithoutReplacingAllowed && renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (renameWithoutReplacingAllowed && errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // The file system refuses the flag: a hard link fails on a taken name just as atomically.
    if (hardLinksAllowed && link(from, to) == 0) {
        unlink(from);
        return 0;
    }
    if (hardLinksAllowed && errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) {
        return errno;
    }
    // Nor hard links (many FUSE file systems): the name is claimed by creating it exclusively, and the clip
    // is renamed over that claim of ours.
    const int claim = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (claim < 0) {
        return errno;
    }
    close(claim);
    if (rename(from, to) != 0) {
        const int failure = errno;
        unlink(to);
        return failure;
    }
    return 0;
}

// A copy of `source` in a private temporary file in `folder` (same file system as the destination), synced
// to disk; empty with `error` set on failure.
QByteArray stageCopy(const QByteArray& source, const QByteArray& folder, QString* error) {
    const int from = open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        *error = describe(errno);
        return {};
    }
    // mkostemp makes the file with O_EXCL and mode 0600: nobody else can have it or read it.
    QByteArray staging = folder + "/.tempolis-clip-XXXXXX";
    const int to = mkostemp(staging.data(), O_CLOEXEC);
    if (to < 0) {
        *error = describe(errno);
        close(from);
        return {};
    }
    bool copied = copyContents(from, to, error);
    if (copied && fsync(to) != 0) {
        *error = describe(errno);
        copied = false;
    }
    close(from);
    if (close(to) != 0 && copied) {
        *error = describe(errno);
        copied = false;
    }
    if (!copied) {
        unlink(staging.constData());
        return {};
    }
    return staging;
}

// Copies next to the destination first, so the destination is replaced only by a complete file.
bool copyAcross(const QByteArray& source, const QByteArray& destination, QString* error) {
    const QByteArray staging =
        stageCopy(source, QFile::encodeName(QFileInfo(QFile::decodeName(destination)).absolutePath()), error);
    if (staging.isEmpty()) {
        return false;
    }
    if (rename(staging.constData(), destination.constData()) != 0) {
        *error = describe(errno);
        unlink(staging.constData());
        return false;
    }
    unlink(source.constData());
    return true;
}

// Tries `candidates` in turn until one is free; the source (or its staged copy across file systems) goes
// there. Answers the index of the name used, -1 when all were taken, -2 on another failure.
int placeFirstFree(const QByteArray& source, const QStringList& candidates, QString* error) {
    QByteArray from = source;
    QByteArray staged;
    for (int index = 0; index < candidates.size(); ++index) {
        const QByteArray to = QFile::encodeName(candidates[index]);
        int result = renameWithoutReplacing(from.constData(), to.constData());
        if (result == EXDEV && staged.isEmpty()) {
            staged = stageCopy(source, QFile::encodeName(QFileInfo(candidates[index]).absolutePath()), error);
            if (staged.isEmpty()) {
                return -2;
            }
            from = staged;
            result = renameWithoutReplacing(from.constData(), to.constData());
        }
        if (result == 0) {
            if (!staged.isEmpty()) {
                unlink(source.constData());
            }
            return index;
        }
        if (result != EEXIST) {
            *error = describe(result);
            if (!staged.isEmpty()) {
                unlink(staged.constData());
            }
            return -2;
        }
    }
    if (!staged.isEmpty()) {
        unlink(staged.constData());
    }
    return -1;
}

} // namespace

void FileMover::setRenameWithoutReplacingAllowed(bool allowed) {
    renameWithoutReplacingAllowed = allowed;
}

void FileMover::setHardLinksAllowed(bool allowed) {
    hardLinksAllowed = allowed;
}

FileMover::Placement FileMover::placeWithoutReplacing(const QString& source, const QString& destination,
                                                      QString* error) {
    QString ignored;
    error = error ? error : &ignored;
    switch (placeFirstFree(QFile::encodeName(source), {destination}, error)) {
    case 0:
        return Placement::placed;
    case -1:
        *error = describe(EEXIST);
        return Placement::exists;
    default:
        return Placement::failed;
    }
}

QString FileMover::placeInFolder(const QString& source, const QString& folder, const QString& name,
                                 QString* error) {
    QString ignored;
    error = error ? error : &ignored;
    const QFileInfo info(name);
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : "." + info.suffix();
    // Names are tried in batches: a folder with thousands of clips of the same second is possible, not
    // likely.
    constexpr int batch = 64;
    constexpr int mostNumbers = 100'000;
    for (int first = 1; first <= mostNumbers; first += batch) {
        QStringList candidates;
        for (int number = first; number < first + batch; ++number) {
            candidates << QDir(folder).filePath(
                number == 1 ? name : QStringLiteral("%1 (%2)%3").arg(base).arg(number).arg(suffix));
        }
        const int used = placeFirstFree(QFile::encodeName(source), candidates, error);
        if (used >= 0) {
            return candidates[used];
        }
        if (used == -2) {
            return {};
        }
    }
    *error = QStringLiteral("every name like %1 is taken").arg(name);
    return {};
}

bool FileMover::moveReplacing(const QString& source, const QString& destination, QString* error) {
    QString ignored;
    error = error ? error : &ignored;
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(destination);
    if (rename(from.constData(), to.constData()) == 0) {
        return true;
    }
    if (errno != EXDEV) {
        *error = describe(errno);
        return false;
    }
    return copyAcross(from, to, error);
}

bool FileMover::createPrivateFile(const QString& path, QString* error) {
    const int descriptor =
        open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        if (error) {
            *error = describe(errno);
        }
        return false;
    }
    close(descriptor);
    return true;
}

void FileMover::applyDefaultMode(const QString& path) {
    chmod(QFile::encodeName(path).constData(), 0666 & ~startupUmask);
}
