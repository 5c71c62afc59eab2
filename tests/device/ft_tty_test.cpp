// The FT_* layer's tty backend: finding counters in sysfs, and talking to oq-counter-sim's
// engine over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "device/ft/FtBackend.h"
#include "sim/SimFtBackend.h"
#include "device/ft/TtyClaim.h"
#include "device/ft/TtyReceiver.h"
#include "ft_test_support.h"
#include "logging/LGLog.h"
#include "refusing_port.h"
#include "../logging/LoggingTestUtil.h"
#include "common/TestUtil.h"
#include "sim/SimPty.h"

using namespace oq::ft::test;
using oq::sim::CounterConfig;
using oq::sim::SimCounter;
using oq::sim::SimPty;

namespace {

class FtTtyTest : public ::testing::Test {
protected:
    void SetUp() override { oq::clock::setScale(0.01); }
    void TearDown() override
    {
        oq::sim::useFtBackend(); // drops every tty handle
        oq::clock::setScale(1.0);
    }
};

void writeFile(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

// A serial device in a fake sysfs tree whose USB parent has the given ids.
void addSerial(const QString& sys, const QString& name, const QString& usbDevice, const QByteArray& vid, const QByteArray& pid)
{
    const QString iface = sys + "/devices/pci0/" + usbDevice + "/" + usbDevice + ":1.0/" + name;
    writeFile(iface + "/latency_timer", "16\n");
    writeFile(sys + "/devices/pci0/" + usbDevice + "/idVendor", vid + "\n");
    writeFile(sys + "/devices/pci0/" + usbDevice + "/idProduct", pid + "\n");
    writeFile(sys + "/devices/pci0/" + usbDevice + "/serial", "SER-" + name.toLatin1() + "\n");
    writeFile(sys + "/devices/pci0/" + usbDevice + "/busnum", "1\n");
    writeFile(sys + "/devices/pci0/" + usbDevice + "/devnum", "5\n");
    QDir().mkpath(sys + "/class/tty/" + name);
    QFile::link(iface, sys + "/class/tty/" + name + "/device");
}

CounterConfig constant(double rate)
{
    CounterConfig c;
    c.profile.kind = oq::sim::ProfileSpec::Constant;
    c.profile.value = rate;
    c.valueInterval = 0.2;
    return c;
}

} // namespace

TEST_F(FtTtyTest, FindsCountersByTheirUsbParent)
{
    QTemporaryDir root;
    const QString sys = root.path() + "/sys", dev = root.path() + "/dev";
    addSerial(sys, "ttyUSB0", "1-1", "0403", "6001"); // another FTDI product
    addSerial(sys, "ttyUSB1", "1-2", "0403", "D678");
    addSerial(sys, "ttyUSB2", "1-3", "0403", "d678");
    QDir().mkpath(sys + "/class/tty/ttyS0"); // no USB parent

    // Device nodes: real terminals, so the ports can be opened.
    auto counter = std::make_shared<SimCounter>();
    SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    QDir().mkpath(dev);
    QFile::link(pty.path(), dev + "/ttyUSB1");

    oq::ft::setBackend(oq::ft::makeTtyBackend({}, sys, dev));
    DWORD n = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 2u);
    FT_DEVICE_LIST_INFO_NODE nodes[2];
    ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), FT_OK);
    EXPECT_STREQ(nodes[0].SerialNumber, "SER-ttyUSB1");
    EXPECT_EQ(nodes[0].LocId, 0x01200000u); // as the hot-plug watch names bus 1, port 2
    FT_HANDLE none = nullptr;
    EXPECT_EQ(FT_OpenEx(reinterpret_cast<void*>(uintptr_t(0x01300000)), FT_OPEN_BY_LOCATION, &none), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(nodes[0].ftHandle, nullptr);

    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_Open(0, &h), FT_OK);
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    QFile timer(sys + "/devices/pci0/1-2/1-2:1.0/ttyUSB1/latency_timer");
    ASSERT_TRUE(timer.open(QIODevice::ReadOnly));
    EXPECT_EQ(timer.readAll(), "2\n");
    // The node is a pseudo-terminal, which keeps 8N1 whatever it is told; a port the system lists
    // as a serial device must take 7E1 or say that it did not.
    EXPECT_EQ(FT_SetBaudRate(h, 460800), FT_OK);
    EXPECT_EQ(FT_SetDataCharacteristics(h, FT_BITS_7, FT_STOP_BITS_1, FT_PARITY_EVEN), FT_INVALID_PARAMETER);
    const auto refused = oq::ft::lastOpenFailureDetails();
    EXPECT_EQ(refused.kind, oq::ft::OpenFailure::LineSettingsRefused);
    EXPECT_EQ(refused.detail.toStdString(), "asked for 460800 baud 7E1, it kept 460800 baud 8N1");
    ASSERT_EQ(FT_GetDeviceInfoList(nodes, &n), FT_OK);
    EXPECT_EQ(nodes[0].ftHandle, h);
    FT_HANDLE again = nullptr;
    EXPECT_EQ(FT_Open(0, &again), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(FT_Open(1, &again), FT_DEVICE_NOT_FOUND); // ttyUSB2 has no node

    // Another product id set with FT_SetVIDPID.
    FT_SetVIDPID(0x0403, 0x6001);
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 1u);
}

TEST_F(FtTtyTest, GivenPortThatIsMissingOrNoTerminal)
{
    oq::ft::useTtyBackend(QStringLiteral("/nonexistent/ttyUSB9"));
    DWORD n = 9;
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 0u);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_Open(0, &h), FT_DEVICE_NOT_FOUND);

    QTemporaryDir dir;
    writeFile(dir.path() + "/plain", "x");
    oq::ft::useTtyBackend(dir.path() + "/plain");
    EXPECT_EQ(FT_Open(0, &h), FT_DEVICE_NOT_OPENED);
}

// The usual first failure on a box without a local seat: the port belongs to a group the user is
// not in. The driver status alone says "not found"; the log says why and what to do.
TEST_F(FtTtyTest, PortThatDeniesAccessIsLoggedWithItsGroup)
{
    const oq::test::RefusingPort refusing;
    ASSERT_FALSE(refusing.path().isEmpty());
    const QString port = QString::fromLatin1(refusing.path());
    // Root opens everything, so the check runs in a child that gives root up.
    const bool root = refusing.root();
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(port).constData(), &st), 0);
    const group* g = getgrgid(st.st_gid);
    ASSERT_TRUE(g);
    // A port of root's group gets no advice to join it.
    const QString expected = st.st_gid == 0
        ? QStringLiteral("Cannot open %1: Permission denied").arg(port)
        : QStringLiteral("Cannot open %1: Permission denied. Members of the group \"%2\" may use it")
              .arg(port, QString::fromLatin1(g->gr_name));

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (root && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(3);
            auto logger = std::make_shared<oq::test::RecordingLogger>();
            LGLog::addLogger(logger);
            oq::ft::useTtyBackend(port);
            FT_HANDLE h = nullptr;
            if (FT_Open(0, &h) != FT_DEVICE_NOT_OPENED)
                _exit(1);
            LGLog::flushLog();
            for (const QString& line : logger->texts())
                if (line.startsWith(expected))
                    _exit(0);
            fprintf(stderr, "logged: %s\n", qPrintable(logger->texts().join(QLatin1Char('|'))));
            _exit(2);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(FtTtyTest, ExchangeOverAPseudoTerminal)
{
    CounterConfig c = constant(0.5);
    c.baud = 9600;
    auto counter = std::make_shared<SimCounter>(c);
    SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    oq::ft::useTtyBackend(pty.path());
    DWORD n = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 1u);
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_Open(0, &h), FT_OK);
    configureLine(h, 460800);
    EXPECT_EQ(FT_SetDataCharacteristics(h, FT_BITS_7, FT_STOP_BITS_1, FT_PARITY_EVEN), FT_OK) << "a pseudo-terminal has no line";

    // A counter that talks only at 9600 does not understand 460800.
    ASSERT_EQ(writeText(h, "P"), FT_OK);
    EXPECT_EQ(readLines(h, 1, 3), "");
    FT_SetBaudRate(h, 9600);
    ASSERT_EQ(writeText(h, "X"), FT_OK);
    // The purge also drops what the counter has not taken yet, and a loaded machine may not have
    // run it within the scaled wait: the "X" must be across first.
    ASSERT_TRUE(oq::test::waitUntil([&] { return counter->commandLog().contains(QStringLiteral("X")); }));
    oq::clock::sleepFor(0.6);
    FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX);
    ASSERT_EQ(writeText(h, "P"), FT_OK);
    EXPECT_EQ(readLines(h, 2), "\r\nPC-Mode gestartet\r\n");
    ASSERT_EQ(writeText(h, "v"), FT_OK);
    EXPECT_TRUE(readLines(h, 2).startsWith("\r\nVersion 7.14Lb07 12345 0037 "));
    ASSERT_EQ(writeText(h, "XR"), FT_OK);
    const QByteArray stream = readLines(h, 4);
    EXPECT_TRUE(stream.startsWith("\r\nPC-Mode beendet\r\n0,500 uSv/h\r\n0,500 uSv/h\r\n")) << stream.toStdString();
    EXPECT_EQ(counter->commandLog(), (QStringList{"~", "X", "P", "v", "X", "R"}));

    // A read with nothing coming returns at its time-out with what there is.
    ASSERT_EQ(writeText(h, "X"), FT_OK);
    oq::clock::sleepFor(0.5);
    FT_Purge(h, FT_PURGE_RX);
    char buf[8];
    DWORD got = 7;
    FT_SetTimeouts(h, 300, 1000);
    EXPECT_EQ(FT_Read(h, buf, sizeof buf, &got), FT_OK);
    EXPECT_EQ(got, 0u) << QByteArray(buf, int(got)).toHex().toStdString();
    FT_Close(h);
}

TEST_F(FtTtyTest, VanishedTerminalFailsAndNeverHangs)
{
    auto counter = std::make_shared<SimCounter>(constant(0.5));
    SimPty pty(counter);
    ASSERT_TRUE(pty.start());
    oq::ft::useTtyBackend(pty.path());
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_Open(0, &h), FT_OK);
    configureLine(h);
    FT_SetTimeouts(h, 3600 * 1000, 1000);
    writeText(h, "R");
    EXPECT_TRUE(readLines(h, 1).startsWith("0,500 uSv/h\r\n"));
    auto read = std::async(std::launch::async, [h] {
        char buf[4096];
        DWORD n = 0;
        FT_STATUS s = FT_OK;
        while (s == FT_OK)
            s = FT_Read(h, buf, sizeof buf, &n);
        return s;
    });
    oq::clock::sleepFor(0.5);
    counter->unplug();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_NE(read.get(), FT_OK);
    EXPECT_TRUE(pty.hungUp());
    DWORD n = 0;
    char c = 'X';
    EXPECT_NE(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_NE(FT_Write(h, &c, 1, &n), FT_OK);
    EXPECT_EQ(FT_Close(h), FT_OK);
}

// What a 7E1 terminal with marked errors delivers, cut into chunks anywhere: noise becomes "?",
// and a line end stays one even when marked (the driver marks every character of the packet an
// error came in), so one noisy character cannot merge two lines.
TEST(TtyInputDecoder, MarkedErrorsAndHighBytesBecomeQuestionMarks)
{
    const QByteArray in("0,1\xff\x00\ruSv\xc1\r\n\xffX\xff\x00\x00\xff\x00\n#\r\n", 23);
    const QByteArray expected("0,1\ruSv?\r\n?X?\n#\r\n");
    for (qsizetype cut = 0; cut <= in.size(); ++cut) {
        oq::ft::TtyInputDecoder decoder;
        QByteArray out = decoder.decode(in.constData(), cut);
        out += decoder.decode(in.constData() + cut, in.size() - cut);
        EXPECT_EQ(out, expected) << "cut at " << cut;
    }
}

TEST_F(FtTtyTest, CounterSimProgram)
{
    const QString program = qEnvironmentVariable("OQ_BINARY_DIR") + "/sim/oq-counter-sim";
    ASSERT_TRUE(QFileInfo::exists(program)) << program.toStdString();
    QProcess help;
    help.start(program, {"--help"});
    ASSERT_TRUE(help.waitForFinished(10000));
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_TRUE(help.readAllStandardOutput().contains("--baud"));
    QProcess bad;
    bad.start(program, {"--baud", "fast"});
    ASSERT_TRUE(bad.waitForFinished(10000));
    EXPECT_EQ(bad.exitCode(), 2);

    QProcess sim;
    sim.start(program, {"--time-scale", "0.05", "--profile", "constant:900", "--unit", "rem", "--unplug-after-lines", "3"});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    ASSERT_TRUE(path.startsWith("/dev/")) << path.toStdString();
    oq::ft::useTtyBackend(path);
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_Open(0, &h), FT_OK);
    configureLine(h);
    writeText(h, "D");
    FT_STATUS status = FT_OK;
    const QByteArray lines = readLines(h, 10, 1000, &status);
    // 900 uSv/h for a second each; pulled out after the third line.
    EXPECT_FALSE(lines.isEmpty());
    EXPECT_TRUE(QByteArray("25,0 urem\r\n50,0 urem\r\n75,0 urem\r\n").startsWith(lines)) << lines.toStdString();
    EXPECT_NE(status, FT_OK);
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.exitCode(), 0);
    FT_Close(h);
}

// With VMIN and VTIME 0 a purge between the receiver's poll and its read leaves the read empty:
// the port is healthy and must stay so. Closing the other end is the hang-up.
TEST(TtyReceiver, PurgeBetweenPollAndReadIsNoHangUp)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int port = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(port, 0);
    termios t {};
    ASSERT_EQ(tcgetattr(port, &t), 0);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(port, TCSANOW, &t), 0);

    std::atomic<oq::ft::TtyReceiver*> receiver{nullptr};
    std::atomic<int> purges{0};
    oq::ft::TtyReceiver r(port, QStringLiteral("pty"), [&] {
        if (purges.load() == 0 && receiver.load()) {
            receiver.load()->purge();
            ++purges;
        }
    });
    receiver = &r;
    ASSERT_EQ(::write(master, "stale\r\n", 7), 7);
    ASSERT_TRUE(oq::test::waitUntil([&] { return purges.load() > 0; }));
    ASSERT_EQ(::write(master, "0,1 uSv\r\n", 9), 9);
    r.waitFor(9, 10000);
    EXPECT_FALSE(r.failed());
    char got[16] = {};
    EXPECT_EQ(QByteArray(got, int(r.take(got, sizeof got))), "0,1 uSv\r\n");

    ::close(master);
    r.waitFor(1, 10000);
    EXPECT_TRUE(r.failed());
    r.stop();
    ::close(port);
}

// A program that holds the port without the lock (a terminal program) is named all the same,
// found by what its descriptors link to.
TEST(TtyClaim, HolderWithoutTheLockIsFoundByItsDescriptors)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QByteArray path = ptsname(master);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        const char c = ::open(path.constData(), O_RDWR | O_NOCTTY) >= 0 ? 'y' : 'n';
        if (::write(ready[1], &c, 1) == 1)
            pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    const QString holder = oq::ft::portHolder(QString::fromLatin1(path));
    ::kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ::close(master);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(holder, QStringLiteral("ft_tests (pid %1)").arg(child));
}
