// Placing a file without ever replacing one: a taken name is never overwritten, whichever way the file
// system lets us put the file there (an atomic rename, a link, or a copy from another file system).
#include "FileMover.h"
#include "TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void write(const QString& path, const QByteArray& contents) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

struct Way {
    const char* name;
    bool acrossFileSystems;
    bool renameAllowed; // false: as on a file system that refuses the atomic rename (link, then unlink)
    bool linkAllowed;   // false: as on one that refuses hard links too (claim the name, rename over it)
};

class FileMoverPlacementTest : public ::testing::TestWithParam<Way> {
protected:
    void SetUp() override {
        FileMover::setRenameWithoutReplacingAllowed(GetParam().renameAllowed);
        FileMover::setHardLinksAllowed(GetParam().linkAllowed);
        source = QString::fromStdString((sourceFolder.path() / "clip.m4a").string());
        if (GetParam().acrossFileSystems) {
            struct stat here {
            }, shared{};
            if (stat(sourceFolder.path().c_str(), &here) != 0 || stat("/dev/shm", &shared) != 0 ||
                here.st_dev == shared.st_dev) {
                GTEST_SKIP() << "needs /dev/shm on another file system";
            }
            destination = QStringLiteral("/dev/shm/tempolis-placement-%1").arg(getpid());
        } else {
            destination = QString::fromStdString(destinationFolder.path().string());
        }
        QDir().mkpath(destination);
        write(source, "the new clip");
    }

    void TearDown() override {
        FileMover::setRenameWithoutReplacingAllowed(true);
        FileMover::setHardLinksAllowed(true);
        if (GetParam().acrossFileSystems) {
            QDir(destination).removeRecursively();
        }
    }

    QStringList left() const { return QDir(destination).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

    TemporaryFolder sourceFolder;
    TemporaryFolder destinationFolder;
    QString source;
    QString destination;
};

TEST_P(FileMoverPlacementTest, AFreeNameIsTakenAndATakenOneIsLeftAlone) {
    const QString free = QDir(destination).filePath("free.m4a");
    QString error;
    ASSERT_EQ(FileMover::placeWithoutReplacing(source, free, &error), FileMover::Placement::placed)
        << error.toStdString();
    EXPECT_EQ(read(free), "the new clip");
    EXPECT_FALSE(QFile::exists(source));

    write(source, "another clip");
    EXPECT_EQ(FileMover::placeWithoutReplacing(source, free, &error), FileMover::Placement::exists);
    EXPECT_EQ(read(free), "the new clip") << "never replaced";
    EXPECT_EQ(read(source), "another clip") << "the clip is still there to be placed elsewhere";
    EXPECT_EQ(left(), QStringList{"free.m4a"}) << "no staging copy is left";
}

TEST_P(FileMoverPlacementTest, AFolderGivesTheNextFreeNumber) {
    const QDir folder(destination);
    write(folder.filePath("Clip.m4a"), "first");
    write(folder.filePath("Clip (2).m4a"), "second");
    QString error;
    const QString placed = FileMover::placeInFolder(source, destination, "Clip.m4a", &error);
    EXPECT_EQ(placed, folder.filePath("Clip (3).m4a")) << error.toStdString();
    EXPECT_EQ(read(folder.filePath("Clip.m4a")), "first");
    EXPECT_EQ(read(folder.filePath("Clip (2).m4a")), "second");
    EXPECT_EQ(read(placed), "the new clip");
    EXPECT_EQ(left(), (QStringList{"Clip (2).m4a", "Clip (3).m4a", "Clip.m4a"}));
}

TEST_P(FileMoverPlacementTest, AMissingSourceFailsAndTouchesNothing) {
    QFile::remove(source);
    QString error;
    EXPECT_EQ(FileMover::placeWithoutReplacing(source, QDir(destination).filePath("x.m4a"), &error),
              FileMover::Placement::failed);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(left().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Ways, FileMoverPlacementTest,
                         ::testing::Values(Way{"Rename", false, true, true}, Way{"Link", false, false, true},
                                           Way{"ClaimTheName", false, false, false},
                                           Way{"CopyAcross", true, true, true},
                                           Way{"CopyAcrossThenLink", true, false, true},
                                           Way{"CopyAcrossThenClaim", true, false, false}),
                         [](const ::testing::TestParamInfo<Way>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
