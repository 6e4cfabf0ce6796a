#pragma once

#include <QString>

// A length of time in words, in minutes and seconds only ("1 minute, 5 seconds", "60 minutes", "5 seconds"),
// units spelled out in the user's language. Zero parts are left out; no time (or a negative one) is
// "0 seconds".
class DurationFormatter {
public:
    static QString string(qint64 seconds);
};
