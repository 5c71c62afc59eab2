#pragma once
// oqtool subcommands register themselves; one file per subcommand.
#include <QStringList>

#include <functional>
#include <vector>

namespace oqtool {

struct Command {
    const char* name;
    const char* usage;   // e.g. "version-record LINE"
    const char* summary; // one line for --help
    // Arguments after the subcommand name; returns the exit code. Runs with a QCoreApplication.
    std::function<int(const QStringList& args)> run;
};

std::vector<Command>& registry();

struct Registration {
    explicit Registration(Command c) { registry().push_back(std::move(c)); }
};

// Writes to standard output / standard error (UTF-8). Every write to standard output is checked:
// after the first failure out() writes nothing more and returns false.
bool out(const QString& text);
void err(const QString& text);
// A write to standard output failed (a full disk, a closed pipe): a command that streams stops,
// and one that writes through a QFile on stdout leaves the telling to finishOut().
bool outFailed();
// The end of every command: flushes and closes standard output; a failure there or before is told
// once and turns a success into exit status 1.
int finishOut(int status);

// oqtool's texts come from the string table ("oqtool.…" keys), in the user's language.
QString text(const char* key);
// A command's help: its usage line and the text "oqtool.NAME.help".
QString commandHelp(const char* name);
// A command's one-line summary for --help ("oqtool.NAME.summary").
QString commandSummary(const Command& command);

} // namespace oqtool

#define OQTOOL_CONCAT2(a, b) a##b
#define OQTOOL_CONCAT(a, b) OQTOOL_CONCAT2(a, b)
#define OQTOOL_COMMAND(...) static const ::oqtool::Registration OQTOOL_CONCAT(oqtoolCommand, __LINE__)(::oqtool::Command{__VA_ARGS__})
