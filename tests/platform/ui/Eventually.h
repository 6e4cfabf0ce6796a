#pragma once

// Waiting for the window system inside gtest. QTRY_* cannot be used here: outside a QTest run a failed
// QCOMPARE only returns from the test body, so the test would pass.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

// Readable failure messages for the Qt values the UI tests compare.
inline void PrintTo(const QString& value, std::ostream* out) {
    *out << '"' << value.toStdString() << '"';
}
inline void PrintTo(const QStringList& value, std::ostream* out) {
    *out << '{' << value.join(QStringLiteral(", ")).toStdString() << '}';
}
inline void PrintTo(const QPoint& value, std::ostream* out) {
    *out << '(' << value.x() << ", " << value.y() << ')';
}
inline void PrintTo(const QSize& value, std::ostream* out) {
    *out << value.width() << 'x' << value.height();
}
inline void PrintTo(const QRect& value, std::ostream* out) {
    *out << value.width() << 'x' << value.height() << '+' << value.x() << '+' << value.y();
}
inline void PrintTo(const QColor& value, std::ostream* out) {
    *out << value.name(QColor::HexArgb).toStdString();
}

// Processes events until `condition` holds, at most `timeoutMilliseconds`.
inline testing::AssertionResult eventually(const std::function<bool()>& condition,
                                           int timeoutMilliseconds = 5000) {
    if (QTest::qWaitFor(condition, timeoutMilliseconds))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "still false after " << timeoutMilliseconds << " ms";
}

// Processes events until `read()` equals `expected`, at most `timeoutMilliseconds`.
template <typename Read, typename Value>
testing::AssertionResult becomes(Read read, const Value& expected, int timeoutMilliseconds = 5000) {
    auto last = read();
    (void)QTest::qWaitFor(
        [&] {
            last = read();
            return last == expected;
        },
        timeoutMilliseconds);
    if (last == expected)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "expected " << testing::PrintToString(expected) << ", still " << testing::PrintToString(last)
           << " after " << timeoutMilliseconds << " ms";
}
