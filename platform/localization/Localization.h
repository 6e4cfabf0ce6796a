#pragma once

#include <QString>

class QCoreApplication;

// User-visible texts are looked up by key in the application's string table; a key without a text shows as
// the key itself.
class Localization {
public:
    // Loads the string table for the user's locale (falling back to English) into the application.
    static void install(QCoreApplication& application);

    static QString string(const char* key);
    // A text that depends on a count, in the plural form the language uses for `count` ("%n" is the count).
    static QString string(const char* key, int count);
};
