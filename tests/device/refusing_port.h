#pragma once
// A terminal device the tests' user may not open, as a serial port is for a user outside its group.
#include <QByteArray>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oq::test {

// A pseudo-terminal whose other end only its owner may open (none at all when the tests do not
// run as root, who opens everything and must give root up to be refused). Run as root, it belongs
// to the serial ports' group, dialout, where that exists.
class RefusingPort {
public:
    RefusingPort()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        const QByteArray path = ptsname(m_master);
        if (chmod(path.constData(), m_root ? 0600 : 0) != 0)
            return;
        if (const group* serialGroup = getgrnam("dialout"); m_root && serialGroup) {
            if (chown(path.constData(), 0, serialGroup->gr_gid) != 0)
                return;
        }
        m_path = path;
    }
    ~RefusingPort()
    {
        if (m_master >= 0)
            close(m_master);
    }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    // Empty when the port could not be made.
    const QByteArray& path() const { return m_path; }
    bool root() const { return m_root; }

private:
    const bool m_root = geteuid() == 0;
    int m_master = -1;
    QByteArray m_path;
};

} // namespace oq::test
