#pragma once
#include <QString>

class SystemInformation {
public:
    // The kernel release as "major.minor.patch" (e.g. 6.1.0 from "6.1.0-13-amd64").
    static QString osVersion();
    // "version (build)".
    static QString appVersion();
    // Reads "major.minor.patch" from a kernel release text; missing parts are 0.
    static QString versionFromRelease(const QString& release);
};
