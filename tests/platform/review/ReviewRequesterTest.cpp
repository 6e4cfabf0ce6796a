#include "ReviewRequester.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {
// What the process writes to stderr while `action` runs.
template <typename Action> QString stderrOf(Action action) {
    QTemporaryFile capture;
    EXPECT_TRUE(capture.open());
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(capture.handle(), STDERR_FILENO);
    action();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    QFile written(capture.fileName());
    EXPECT_TRUE(written.open(QIODevice::ReadOnly));
    return QString::fromUtf8(written.readAll());
}
} // namespace

TEST(ReviewRequester, RecordsEachRequestAndShowsNothing) {
    EXPECT_EQ(ReviewRequester::requestCount(), 0);
    EXPECT_FALSE(ReviewRequester::lastRequestTime().isValid());

    const QDateTime before = QDateTime::currentDateTimeUtc();
    const QString noted = stderrOf([] { ReviewRequester::requestReview(); });
    const QDateTime after = QDateTime::currentDateTimeUtc();

    EXPECT_EQ(ReviewRequester::requestCount(), 1);
    EXPECT_GE(ReviewRequester::lastRequestTime(), before);
    EXPECT_LE(ReviewRequester::lastRequestTime(), after);
    // One informational line, not an error.
    EXPECT_EQ(noted.count('\n'), 1) << noted.toStdString();
    EXPECT_TRUE(noted.startsWith("ReviewRequester: ")) << noted.toStdString();
    EXPECT_FALSE(noted.contains("Error")) << noted.toStdString();
    QCoreApplication::processEvents();
    EXPECT_TRUE(QGuiApplication::topLevelWindows().isEmpty());

    const QDateTime first = ReviewRequester::lastRequestTime();
    stderrOf([] { ReviewRequester::requestReview(); });
    EXPECT_EQ(ReviewRequester::requestCount(), 2);
    EXPECT_GE(ReviewRequester::lastRequestTime(), first);
}
