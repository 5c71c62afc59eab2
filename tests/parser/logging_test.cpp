// The parsers' log lines, and two threads parsing at once.
#include <gtest/gtest.h>

#include <QStringList>

#include <memory>
#include <mutex>
#include <thread>

#include "dump/DumpWriter.h"
#include "logging/LGLogger.h"
#include "parser/OQParser.h"
#include "parser/OQProtocol.h"
#include "parser/parse_prot.h"

namespace {

class Capture : public LGAbstractLogger {
public:
    Capture() : LGAbstractLogger(QStringLiteral("test.parser")) {}
    void logMessage(const LGLogMessage& m) override
    {
        std::lock_guard lock(m_mutex);
        m_lines << QStringLiteral("%1 %2").arg(m.flag).arg(m.message);
    }
    QStringList lines()
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

private:
    std::mutex m_mutex;
    QStringList m_lines;
};

class ParserLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_capture = std::make_shared<Capture>();
        LGLog::addLogger(m_capture);
    }
    void TearDown() override { LGLog::removeLogger(m_capture); }
    std::shared_ptr<Capture> m_capture;
};

QString dumpText(const char* firmware = "7.14Lb07")
{
    oq::sim::DumpSpec spec;
    spec.firmware = QString::fromLatin1(firmware);
    spec.events = {oq::sim::DumpEvent::interval(60), oq::sim::DumpEvent::count(5)};
    return QString::fromLatin1(writeDump(spec)->deviceDump);
}

} // namespace

TEST_F(ParserLog, VersionErrorsAreWrittenBeforeTheCallReturns)
{
    EXPECT_FALSE(parseVersion(QStringLiteral("Version 7.14Xb07 6239 0006 01.01.21 00:00:00")));
    // No flush: error lines are synchronous.
    EXPECT_EQ(m_capture->lines(), QStringList({"1 Bad Data: 4 sanitized: 0\n", "1 Bad Data: 1 sanitized: 0\n",
                                      "1 Error: parse_v: amount of valid bytes seems wrong: 0006\n"}));
}

TEST_F(ParserLog, ProtocolParserLines)
{
    EXPECT_TRUE(parseProtocol(dumpText()));
    LGLog::flushLog();
    EXPECT_EQ(m_capture->lines(), QStringList({"4 Orbel-Quist(tm) Protocol Parser:\n",
                                      QStringLiteral("4 %1\n").arg(QString::fromLatin1(parserIdentification())),
                                      "4 Starting to parse..."}));

    m_capture->clear();
    EXPECT_FALSE(parseProtocol(QString(122, QLatin1Char('x')) + QStringLiteral("\r\n") + dumpText()));
    LGLog::flushLog();
    EXPECT_TRUE(m_capture->lines().contains("1 Input line 1 too long"));
    EXPECT_TRUE(m_capture->lines().contains("1 Error: end of dump reached\n"));

    m_capture->clear();
    EXPECT_FALSE(parseProtocol(QStringLiteral("x\n").repeated(PARSER_MAX_LINES + 1)));
    LGLog::flushLog();
    EXPECT_EQ(m_capture->lines().count("1 More than 2485 lines of input"), 1);
}

TEST(ParserThreads, ConcurrentParsesDoNotMix)
{
    const QString a = dumpText("7.14Lb07"), b = dumpText("5.12");
    const QString lineA = QStringLiteral("Version 7.14Lb07 6240 1FFF 24.12.20 18:30:05");
    std::atomic<int> failures{0};
    auto work = [&](const QString& dump, uint expectedPulses) {
        for (int i = 0; i < 200; ++i) {
            const auto maps = parseProtocol(dump);
            if (!maps || maps->size() != 2 || maps->at(1).toMap().value("pulses").toUInt() != expectedPulses)
                ++failures;
            const auto record = parseVersion(lineA);
            if (!record || record->value("protocol_length").toUInt() != 0x1FFF)
                ++failures;
        }
    };
    std::thread t1(work, a, 5u), t2(work, b, 5u);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
}
