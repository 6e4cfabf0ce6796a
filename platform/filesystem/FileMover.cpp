#include "FileMover.h"

#include <QFile>
#include <QFileInfo>

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

// Copies next to the destination first, so the destination is replaced only by a complete file.
bool copyAcross(const QByteArray& source, const QByteArray& destination, QString* error) {
    const int from = open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        *error = describe(errno);
        return false;
    }
    QByteArray staging = destination + ".partial-XXXXXX";
    const int to = mkostemp(staging.data(), O_CLOEXEC);
    if (to < 0) {
        *error = describe(errno);
        close(from);
        return false;
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
    if (copied && rename(staging.constData(), destination.constData()) != 0) {
        *error = describe(errno);
        copied = false;
    }
    if (!copied) {
        unlink(staging.constData());
        return false;
    }
    unlink(source.constData());
    return true;
}

} // namespace

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
