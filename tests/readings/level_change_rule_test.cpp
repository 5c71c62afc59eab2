// The rule that decides which level changes are told: hold, direction, repeat limit, danger always.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include "readings/LevelChangeRule.h"

using oq::Level;
using oq::alerts::LevelChangeRule;

namespace {

struct Case {
    const char* name;
    // One letter per reading, `step` modelled seconds apart: n normal, w warning, d danger;
    // "." is a gap (no reading), "_" a pause of a minute without readings.
    const char* readings;
    double step;
    // Each event told: the level's letter, what was told before it, and the reading's index.
    const char* told;
};

const Case kCases[] = {
    {"quiet normal readings tell nothing", "nnnnnnnn", 1, ""},
    {"a level counts after three readings in a row", "nnwwwwnnnn", 1, "wn@4 nw@8"},
    {"flicker across a threshold tells nothing", "nwwnwwnwnwdnd", 1, ""},
    {"a gap starts the run again", "nww.wnwww", 1, "wn@8"},
    {"warning then danger are two rises; easing to warning is quiet; back to normal is told",
        "nwwwdddwwwnnn", 1, "wn@3 dw@6 nd@12"},
    {"a straight rise to danger is told once", "ddd" "nnn", 1, "dn@2 nd@5"},
    {"a run of another level restarts the count", "wwddd", 1, "dn@4"},
    // Warning told at 2, normal at 5; the next warning (8) is held back until a minute after 2
    // and told then (62), as it still holds.
    {"repeats wait a minute, then the level still held is told", "wwwnnnwww" "wwwwwwwwww" "wwwwwwwwww" "wwwwwwwwww"
        "wwwwwwwwww" "wwwwwwwwww" "wwwwwwwwww" "nnn", 1, "wn@2 nw@5 wn@62 nw@71"},
    {"a level that passed while held back is never told", "wwwnnnwwwnnn" "nnnnnnnnnnnn", 1, "wn@2 nw@5"},
    {"after a minute's pause a repeat is told at once", "wwwnnn_wwwnnn", 1, "wn@2 nw@5 wn@9 nw@12"},
    // 25 s of danger 40 s after the last danger alarm: told at once, the return to normal waits.
    {"a new danger episode is never held back", "dddnnn" "nn" "ddddd" "nnnnnnnnnnnnnnnn", 5, "dn@2 nd@5 dn@10 nd@17"},
    {"danger that eased to warning for a minute and rises again is told again", "dddwwwddd", 30, "dn@2 dd@8"},
    {"a rate hovering at the danger threshold alarms once", "dddwwwdddwwwwdddwdwwwddd", 1, "dn@2"},
    {"a rise to danger soon after a warning is told at once", "wwwnnnddd", 10, "wn@2 nw@5 dn@8"},
};

Level levelOf(char c) { return c == 'd' ? Level::Danger : c == 'w' ? Level::Warning : Level::Normal; }
char letter(Level l) { return oq::levelName(l)[0]; }

} // namespace

TEST(LevelChangeRule, TellsRisesAndReturnsOnceTheyHoldWithRepeatsLimited)
{
    for (const Case& c : kCases) {
        LevelChangeRule rule;
        QStringList told;
        double now = 1000;
        int index = 0;
        for (const char* r = c.readings; *r; ++r, ++index) {
            if (*r == '.') {
                rule.interrupt();
                continue;
            }
            if (*r == '_') {
                rule.interrupt();
                now += 60;
                continue;
            }
            now += c.step;
            if (const auto event = rule.observe(levelOf(*r), now))
                told << QStringLiteral("%1%2@%3").arg(letter(event->level)).arg(letter(event->previous)).arg(index);
        }
        EXPECT_EQ(told.join(QLatin1Char(' ')).toStdString(), std::string(c.told)) << c.name;
    }
}
