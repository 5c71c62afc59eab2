#pragma once
// oqtool watch over every counter it is given or finds: one device per counter, bound to that
// counter's bridge, each reading printed or recorded with the counter it came from. Counters on
// the USB bus are followed as they come and go; a given port (or simulated counter) is read for the
// whole run. In CSV mode a counter that is away is waited for; in text mode its reading ends.
#include <QString>

#include <functional>

#include "AlertCommand.h"
#include "CsvRecorder.h"
#include "readings/Reading.h"

namespace oq::recording {
class Recording;
}
namespace oq::web {
class WebServer;
}

namespace oqtool {

class DeviceSession;

struct WatchOptions {
    int mode = 1;         // 1 dose rate, 2 dose
    long long count = -1; // readings per counter; 0 or less: no limit
    CsvOptions csv;
    QString alertCommand; // null: no alerts
    double alertTimeout = kDefaultAlertTimeout;
    std::function<QString(const oq::Reading& reading)> show; // text mode: a reading as printed
    oq::recording::Recording* recording = nullptr;             // where every reading is also kept
    oq::web::WebServer* web = nullptr;                         // serves the counters while they run
    // Runs at the end, once the streams have stopped and while the counters still are: the
    // recording's last word (false fails the run).
    std::function<bool()> finishRecording;
};

// Reads until Ctrl-C, until every counter gave `count` readings, or (text mode) until no counter is
// left. Returns the exit code: 1 when a counter failed for another reason than being unplugged
// while others went on, when the output could not be written, or when an alarm reached nobody.
int runWatch(DeviceSession& session, const WatchOptions& options);

} // namespace oqtool
