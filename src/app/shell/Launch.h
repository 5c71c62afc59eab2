#pragma once
// Builds the application's objects the way the main window description would, and runs it.
#include <QString>
#include <QStringList>

class QApplication;

struct LaunchConfig {
    bool simulate = false;        // simulated bus with simulated counters ...
    int simulatedCounters = 1;    // ... this many of them
    QString portPath;             // one fixed serial device, reported as arriving at start
    double timeScale = 1.0;       // the time seam's factor
    double quitAfterSeconds = 0;  // > 0: quit by itself (testing, screenshots)
    QString screenshotPath;       // with quitAfterSeconds: picture of the main window before quitting
    bool hidden = false;          // start in the tray, when the user keeps it running with the window closed
    QStringList files;            // stored dumps to open, as absolute paths
};

int runApplication(QApplication& app, const LaunchConfig& config);
