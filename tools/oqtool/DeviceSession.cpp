#include "DeviceSession.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

#include "Command.h"
#include "device/ft/FtBackend.h"
#include "device/ft/ftd2xx.h"
#include "device/OQUSBDevice.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "sim/SimConfig.h"
#include "sim/SimCounter.h"
#include "sim/SimFtBackend.h"

namespace oqtool {
namespace {

std::atomic<int> g_interrupts{0};
// Written by the signal handler, so a waiting event loop wakes up for Ctrl-C.
int g_interruptWake = -1;

constexpr int kMaxSimulated = oq::sim::kMaxSimulatedCounters;
// The first simulated counter's serial number; the others count up from it.
constexpr int kFirstSimulatedSerial = 12345;

// A tty's node goes a moment after its hang-up.
constexpr double kUnplugNoticeSeconds = 2;

// Longer than the worst closing sequence (120 s against a counter that never falls quiet).
constexpr double kWorkerWaitLimit = 150;
// How often the wait for the device's last work looks again: nothing announces its end.
constexpr int kWorkerWaitRecheckMs = 20;

extern "C" void onInterrupt(int)
{
    g_interrupts.fetch_add(1);
    const int saved = errno;
    const uint64_t one = 1;
    if (g_interruptWake >= 0 && ::write(g_interruptWake, &one, sizeof one) < 0) {
        // Full counter: the loop is woken already.
    }
    errno = saved;
}

void installInterruptHandler()
{
    if (g_interruptWake < 0)
        g_interruptWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The exchange has ended when it failed or when the progress says so (after the counter left PC mode).
bool exchangeEnded(const OQUSBDevice& device)
{
    const auto progress = device.progress();
    return device.failed() || (!device.busy() && progress && progress->completedUnitCount() == -1);
}

std::vector<FT_DEVICE_LIST_INFO_NODE> listedBridges()
{
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK || count == 0)
        return {};
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (FT_GetDeviceInfoList(nodes.data(), &count) != FT_OK)
        return {};
    nodes.resize(std::min<size_t>(count, nodes.size()));
    return nodes;
}

bool bridgeListed(DWORD location)
{
    const auto nodes = listedBridges();
    return std::any_of(nodes.begin(), nodes.end(), [location](const auto& n) { return n.LocId == location; });
}

} // namespace

bool takeDeviceOptions(QStringList& args, DeviceOptions& options, QString& error)
{
    for (qsizetype i = 0; i < args.size();) {
        if (args[i] == QLatin1String("--simulate")) {
            args.removeAt(i);
            // A count is optional: "--simulate --count 5" is one counter.
            bool number = false;
            const int n = i < args.size() ? args[i].toInt(&number) : 0;
            if (number) {
                if (n < 1 || n > kMaxSimulated) {
                    error = text("oqtool.simulate_count").arg(kMaxSimulated);
                    return false;
                }
                args.removeAt(i);
            }
            options.simulate = number ? n : 1;
        } else if (args[i] == QLatin1String("--port")) {
            if (i + 1 >= args.size()) {
                error = text("oqtool.port_needs_path");
                return false;
            }
            options.ports << args[i + 1];
            args.remove(i, 2);
        } else if (args[i].startsWith(QLatin1String("--port="))) {
            options.ports << args[i].mid(7);
            args.removeAt(i);
        } else {
            ++i;
        }
    }
    if (options.simulate && !options.ports.isEmpty()) {
        error = text("oqtool.port_and_simulate");
        return false;
    }
    options.ports.removeDuplicates();
    return true;
}

DeviceSession::DeviceSession(DeviceOptions options)
    : m_options(std::move(options))
{
    installInterruptHandler();
    if (g_interruptWake >= 0) {
        m_interruptWake = std::make_unique<QSocketNotifier>(g_interruptWake, QSocketNotifier::Read);
        QObject::connect(m_interruptWake.get(), &QSocketNotifier::activated, [] {
            uint64_t count = 0;
            if (::read(g_interruptWake, &count, sizeof count) < 0) {
                // Already read: nothing to clear.
            }
        });
    }
    bool scaled = false;
    const double scale = qEnvironmentVariable("OQ_CLOCK_SCALE").toDouble(&scaled);
    if (scaled && scale > 0)
        oq::clock::setScale(scale);
    oq::sim::useSerialBackend(m_options.simulate > 0, m_options.ports);
    for (int i = 0; i < m_options.simulate; ++i) {
        oq::sim::CounterConfig config;
        config.profile.kind = oq::sim::ProfileSpec::Walk;
        // Each its own walk; the first one as a single simulated counter always was.
        config.profile.seed += uint32_t(i);
        config.serial = QString::number(kFirstSimulatedSerial + i);
        m_counters.push_back(std::make_shared<oq::sim::SimCounter>(config));
        m_entries.push_back(oq::sim::SimBus::instance().plug(m_counters.back()));
    }
}

std::vector<CounterPlace> DeviceSession::givenPlaces() const
{
    std::vector<CounterPlace> places;
    // One given port is read as before: the first bridge listed, whatever its location.
    const bool several = m_options.ports.size() > 1;
    for (const QString& port : m_options.ports)
        places.push_back({several ? std::optional<unsigned long>(places.size() + 1) : std::nullopt, port});
    return places;
}

bool DeviceSession::bridgeGone(const std::optional<unsigned long>& location)
{
    if (!location)
        return counterUnplugged();
    const double deadline = oq::clock::now() + kUnplugNoticeSeconds;
    for (;;) {
        if (!bridgeListed(DWORD(*location)))
            return true;
        if (oq::clock::now() > deadline)
            return false;
        oq::clock::sleepFor(0.05);
    }
}

DeviceSession::~DeviceSession()
{
    // The device's work can outlast `busy` (the closing sequence of a cancelled transfer) and an
    // interrupted information exchange runs to its end: exiting under it would leave the counter
    // sending and pull the process's state from under the worker. Its own time-outs bound it;
    // another Ctrl-C stops waiting.
    if (m_device)
        waitForWork({m_device});
    m_device.reset();
    // Let the device's queued work and its deferred deletion run before the counter goes.
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const quint64 entry : m_entries)
        oq::sim::SimBus::instance().unplug(entry);
}

std::shared_ptr<OQUSBDevice> DeviceSession::open(QString& error)
{
    // Several counters on the bus and none chosen: taking the first would be a guess.
    if (m_options.ports.isEmpty() && !m_options.simulate) {
        if (const auto nodes = listedBridges(); nodes.size() > 1) {
            error = text("oqtool.several_counters");
            for (const auto& node : nodes) {
                error += QStringLiteral("\n  %1  %2").arg(oq::ft::portName(node.LocId),
                    text("oqtool.usb_serial").arg(QString::fromLatin1(node.SerialNumber)));
            }
            return nullptr;
        }
    }
    m_device = makeDevice<OQUSBDevice>();
    if (!runUntil([this] { return exchangeEnded(*m_device); })) {
        // The worker thread holds the device until its exchange ends; nothing to stop here.
        error = text("oqtool.interrupted");
        return nullptr;
    }
    if (m_device->failed()) {
        error = m_device->error();
        // "device not found" for a port that is there but refused: the cause is what helps.
        if (const QString cause = oq::ft::lastOpenFailure(); !cause.isEmpty())
            error += QLatin1Char('\n') + cause;
        return nullptr;
    }
    DWORD listed = 0;
    if (FT_CreateDeviceInfoList(&listed) == FT_OK)
        m_listedAtOpen = listed;
    return m_device;
}

void DeviceSession::waitForWork(const std::vector<std::shared_ptr<OQUSBDevice>>& devices)
{
    const double deadline = oq::clock::now() + kWorkerWaitLimit;
    runUntil([&] {
        return oq::clock::now() > deadline
            || std::none_of(devices.begin(), devices.end(), [](const auto& d) { return d->hasWorkInFlight(); });
    }, kWorkerWaitRecheckMs);
}

bool DeviceSession::counterUnplugged()
{
    const double deadline = oq::clock::now() + kUnplugNoticeSeconds;
    for (;;) {
        DWORD listed = 0;
        if (FT_CreateDeviceInfoList(&listed) == FT_OK && listed < m_listedAtOpen)
            return true;
        if (oq::clock::now() > deadline)
            return false;
        oq::clock::sleepFor(0.05);
    }
}

bool DeviceSession::runUntil(const std::function<bool()>& done, int recheckMs)
{
    const int interruptsBefore = g_interrupts.load();
    if (done())
        return true;
    QEventLoop loop;
    bool interrupted = false;
    // Whatever woke the loop (a reading, a state change, Ctrl-C, a timer) has been handled when it
    // is about to sleep again: that is when to look. No timer ticks while nothing happens.
    const auto look = [&] {
        if (g_interrupts.load() != interruptsBefore) {
            interrupted = true;
            loop.quit();
        } else if (done()) {
            loop.quit();
        }
    };
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop, look);
    QTimer recheck;
    if (recheckMs > 0) {
        QObject::connect(&recheck, &QTimer::timeout, &loop, look);
        recheck.start(recheckMs);
    }
    loop.exec();
    return !interrupted;
}

void DeviceSession::runUntilDone(const std::function<bool()>& done)
{
    while (!runUntil(done)) {
    }
}

} // namespace oqtool

namespace oqtool {

DeviceCommand::DeviceCommand(const char* name, const QStringList& arguments, bool severalCounters)
    : m_name(name)
    , m_args(arguments)
{
    if (m_args.contains(QStringLiteral("--help"))) {
        m_help = true;
        out(usage());
        return;
    }
    QString error;
    if (!takeDeviceOptions(m_args, m_options, error))
        reject(error);
    else if (!severalCounters && (m_options.ports.size() > 1 || m_options.simulate > 1))
        reject(text("oqtool.one_counter_only"));
}

DeviceCommand::~DeviceCommand() = default;

void DeviceCommand::reject(const QString& why)
{
    if (m_error.isEmpty())
        m_error = why.isNull() ? QStringLiteral("") : why;
}

int DeviceCommand::usageError() const
{
    err((m_error.isEmpty() ? QString() : QStringLiteral("oqtool %1: %2\n").arg(QLatin1String(m_name), m_error))
        + usage());
    return 2;
}

void DeviceCommand::fail(const QString& message) const
{
    err(QStringLiteral("oqtool %1: %2\n").arg(QLatin1String(m_name), message));
}

QString DeviceCommand::usage() const { return commandHelp(m_name) + text("oqtool.device_options.help"); }

DeviceSession& DeviceCommand::session()
{
    if (!m_session)
        m_session = std::make_unique<DeviceSession>(m_options);
    return *m_session;
}

std::shared_ptr<OQUSBDevice> DeviceCommand::open()
{
    QString error;
    auto device = session().open(error);
    if (!device)
        fail(error);
    return device;
}

} // namespace oqtool
