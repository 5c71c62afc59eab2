// oq-counter-sim: a simulated Orbel-Quist counter on a pseudo-terminal.
#include <csignal>
#include <cstdio>
#include <ctime>

#include "platform/Clock.h"
#include "sim/SimOptions.h"
#include "sim/SimPty.h"

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    oq::sim::SimProgramOptions options;
    const QString error = oq::sim::parseSimOptions(args, options);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "oq-counter-sim: %s\n(--help lists the options)\n", qPrintable(error));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(oq::sim::simOptionsHelp()), stdout);
        return 0;
    }
    oq::clock::setScale(options.timeScale);

    // Block the stop signals before the serving thread starts, then wait for them here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto counter = std::make_shared<oq::sim::SimCounter>(options.counter);
    oq::sim::SimPty pty(counter);
    QString openError;
    if (!pty.start(&openError)) {
        std::fprintf(stderr, "oq-counter-sim: %s\n", qPrintable(openError));
        return 1;
    }
    std::printf("%s\n", qPrintable(pty.path()));
    std::fflush(stdout);

    const timespec slice {0, 50 * 1000 * 1000};
    while (!pty.hungUp()) {
        if (sigtimedwait(&stopSignals, nullptr, &slice) > 0)
            break;
    }
    if (pty.hungUp())
        std::fprintf(stderr, "oq-counter-sim: unplugged\n");
    pty.stop();
    // Characters the bridge dropped because the other side let the terminal fill up.
    std::fprintf(stderr, "oq-counter-sim: %lld characters lost on the line\n", static_cast<long long>(pty.lostBytes()));
    return 0;
}
