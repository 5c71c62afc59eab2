// oq-counter-sim: simulated Orbel-Quist counters on pseudo-terminals, or one behind an emulated USB
// bridge in the kernel's USB/IP host controller.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/CLocale.h"
#include "platform/Clock.h"
#include "sim/SimOptions.h"
#include "sim/SimPty.h"
#include "sim/usbip/SimUsbIp.h"

namespace {

const timespec kSlice {0, 50 * 1000 * 1000};

// The signals in the order they came. Attaching or detaching keeps the serving loop busy for a
// while; standard signals that came meanwhile would be merged and handed out by number (an unplug
// before a plug-in that came first), so a thread of its own takes each one as it comes.
class SignalQueue {
public:
    // Made once and never destroyed: its thread waits until the process ends.
    static SignalQueue& start(const sigset_t& waited)
    {
        static auto* queue = new SignalQueue(waited);
        return *queue;
    }
    // The next signal, or 0 when none came within the slice.
    int next()
    {
        std::unique_lock lock(m_mutex);
        if (!m_came.wait_for(lock, std::chrono::seconds(kSlice.tv_sec) + std::chrono::nanoseconds(kSlice.tv_nsec),
                [this] { return !m_signals.empty(); }))
            return 0;
        const int signal = m_signals.front();
        m_signals.pop_front();
        return signal;
    }

private:
    explicit SignalQueue(const sigset_t& waited)
        : m_waited(waited)
    {
        std::thread([this] {
            for (;;) {
                const int signal = sigwaitinfo(&m_waited, nullptr);
                if (signal <= 0)
                    continue;
                {
                    std::lock_guard lock(m_mutex);
                    m_signals.push_back(signal);
                }
                m_came.notify_one();
            }
        }).detach();
    }

    const sigset_t m_waited;
    std::mutex m_mutex;
    std::condition_variable m_came;
    std::deque<int> m_signals;
};

// The serial number after `serial`: its trailing digits counted up, else a digit added.
QString nextSerial(const QString& serial)
{
    qsizetype digits = serial.size();
    while (digits > 0 && serial[digits - 1].isDigit())
        --digits;
    const QString number = serial.mid(digits);
    if (number.isEmpty())
        return serial + QLatin1Char('2');
    return serial.left(digits) + QString::number(number.toULongLong() + 1).rightJustified(number.size(), QLatin1Char('0'));
}

// Machine-read by the tests: keep the wording, and the C locale's numbers.
void report(const char* what, const oq::sim::SimFtBridge::Stats& stats, double slowdown)
{
    std::string text = oq::cFormat("%s: %lld characters delivered, %lld lost in the bridge's receive FIFO; line slowed %gx; "
                                   "at most %lld held while this program was late\n",
        what, static_cast<long long>(stats.delivered.load()), static_cast<long long>(stats.lost.load()), slowdown,
        static_cast<long long>(stats.lateMost.load()));
    if (const qint64 dump = stats.dumpCharacters.load(); dump > 0) {
        // The line's own limit: 10 bits a character at the bridge's speed.
        const double floor = double(dump) * 10 / stats.baud.load();
        text += oq::cFormat("last dump: %lld characters in %.3f s; the line needs %.3f s at %d baud (%.3f s slowed %gx)\n",
            static_cast<long long>(dump), stats.dumpSeconds.load(), floor, stats.baud.load(), floor * slowdown, slowdown);
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

int serveUsbIp(const oq::sim::SimProgramOptions& options, const sigset_t& waited)
{
    auto counter = std::make_shared<oq::sim::SimCounter>(options.counter);
    oq::sim::SimUsbIp usb(counter, options.bridge);
    QString error;
    if (!usb.attach(*options.usbipPort, &error)) {
        std::fprintf(stderr, "oq-counter-sim: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("plugged in at vhci-hcd port %d\n", usb.port());
    std::fflush(stdout);
    bool plugged = true;
    qint64 reportedLost = 0;
    SignalQueue& arrived = SignalQueue::start(waited);
    for (;;) {
        const int signal = arrived.next();
        if (signal == SIGUSR1) {
            usb.unplug();
        } else if (signal == SIGUSR2 && !usb.plugged()) {
            if (!usb.replug(&error)) {
                std::fprintf(stderr, "oq-counter-sim: %s\n", qPrintable(error));
                return 1;
            }
            plugged = true;
            std::printf("plugged in at vhci-hcd port %d\n", usb.port());
            std::fflush(stdout);
        } else if (signal > 0 && signal != SIGUSR2) {
            break;
        }
        // Each overrun is told as it happens: a run that fails on it shows when.
        if (const qint64 lost = usb.stats().lost.load(); lost != reportedLost) {
            reportedLost = lost;
            std::fputs(oq::cFormat("overrun: %lld characters lost so far in the bridge's receive FIFO; line slowed %gx\n",
                           static_cast<long long>(lost), options.counter.lineSlowdown).c_str(), stdout);
            std::fflush(stdout);
        }
        if (plugged && !usb.plugged()) {
            plugged = false;
            report("unplugged", usb.stats(), options.counter.lineSlowdown);
        }
    }
    usb.unplug();
    report("stopped", usb.stats(), options.counter.lineSlowdown);
    return 0;
}

int servePty(const oq::sim::SimProgramOptions& options, const sigset_t& waited)
{
    std::vector<std::unique_ptr<oq::sim::SimPty>> ptys;
    QString serial;
    for (int i = 0; i < options.counters; ++i) {
        oq::sim::CounterConfig config = options.counter;
        if (i > 0) // alike but for the serial number, which tells them apart
            config.serial = serial = nextSerial(serial);
        auto counter = std::make_shared<oq::sim::SimCounter>(config);
        serial = counter->serialNumber();
        auto pty = std::make_unique<oq::sim::SimPty>(counter);
        QString openError;
        if (!pty->start(&openError)) {
            std::fprintf(stderr, "oq-counter-sim: %s\n", qPrintable(openError));
            return 1;
        }
        std::printf("%s\n", qPrintable(pty->path()));
        ptys.push_back(std::move(pty));
    }
    std::fflush(stdout);

    const auto allHungUp = [&] { return std::all_of(ptys.begin(), ptys.end(), [](const auto& p) { return p->hungUp(); }); };
    std::vector<bool> told(ptys.size(), false);
    while (!allHungUp()) {
        const int signal = sigtimedwait(&waited, nullptr, &kSlice);
        if (signal > 0 && signal != SIGUSR1 && signal != SIGUSR2)
            break;
        for (size_t i = 0; i < ptys.size() && ptys.size() > 1; ++i) {
            if (ptys[i]->hungUp() && !told[i]) {
                told[i] = true;
                std::fprintf(stderr, "oq-counter-sim: %s unplugged\n", qPrintable(ptys[i]->path()));
            }
        }
    }
    if (allHungUp())
        std::fprintf(stderr, "oq-counter-sim: unplugged\n");
    qint64 lost = 0;
    for (const auto& pty : ptys) {
        pty->stop();
        lost += pty->lostBytes();
    }
    // Characters the bridge dropped because the other side let the terminal fill up.
    std::fprintf(stderr, "oq-counter-sim: %lld characters lost on the line\n", static_cast<long long>(lost));
    return 0;
}

} // namespace

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

    // Block the signals before any serving thread starts, then wait for them here.
    sigset_t waited;
    sigemptyset(&waited);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        sigaddset(&waited, s);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    return options.usbipPort ? serveUsbIp(options, waited) : servePty(options, waited);
}
