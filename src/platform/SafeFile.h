#pragma once
// The one way the programs write files and make folders, so that nothing of the user's can be
// overwritten or read by another local user:
// - a symbolic link on the way is followed only when it belongs to the user (or root) and does not
//   lie in a sticky world-writable folder such as /tmp: the kernel's protected_symlinks is off on
//   many systems, and Qt's QSaveFile resolves links itself, past it;
// - a file that another user owns in a folder others may write is not appended to;
// - files are created with the user's umask, or 0600 (folders 0700) where they hold private data.
#include <QString>

#include <functional>

#include <sys/types.h>

class QIODevice;

namespace oq::files {

enum class Privacy {
    Shared,  // the user's umask decides (exports, dumps, recordings)
    Private, // 0600 files, 0700 folders, whatever the umask (logs, crash reports, the runtime folder)
};

// `path` with every link on the way followed, as an absolute path whose folder part holds no link;
// empty with `error` set when a link may not be followed. The last part need not exist.
QString resolve(const QString& path, QString* error = nullptr);

// open(2) of `path` after resolve(), never following a link planted after the check. With
// O_CREAT, a new file gets 0666 (Shared) or 0600 (Private) under the umask; an existing private
// file of the user that others may read is made 0600. A file or pipe that is not the user's, in
// a folder others may write, is refused. -1 with `error` set on failure (errno is kept).
int openFile(const QString& path, int flags, Privacy privacy, QString* error = nullptr);

// Writes `path` as a whole new file: into a temporary file beside it, renamed over it once
// `write` succeeded, so a reader sees the old or the new file, never half of one. A file that is
// replaced keeps its mode; a terminal, pipe or device is written as it is. False with `error`
// set; then nothing is left behind.
bool writeAtomically(const QString& path, const std::function<bool(QIODevice&)>& write, Privacy privacy,
    QString* error = nullptr);

// Makes `path` and its missing parents (0700, as the XDG folders want) and checks that the
// folder may hold the user's files: every folder on the way belongs to the user or root, and
// one of root's that others may write is sticky. A Private folder of the user that others may
// enter is made 0700. False with `error` set otherwise: such a folder is not used.
bool makeFolder(const QString& path, Privacy privacy, QString* error = nullptr);

// $HOME, else the home folder of the password database: never "/" or a temporary folder.
QString homeFolder();
// $XDG_CONFIG_HOME, $XDG_STATE_HOME, $XDG_DATA_HOME when absolute, else their defaults in the home;
// empty without any home.
QString configHome();
QString stateHome();
QString dataHome();

} // namespace oq::files
