#include "history/HistoryDatabase.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include <chrono>
#include <fcntl.h>
#include <unistd.h>
#include <thread>

#include "logging/Log.h"
#include "platform/MoveAside.h"
#include "platform/SafeFile.h"

namespace oq::history {
namespace {

// Forward migrations: entry N brings a database of version N to version N + 1. Never edit one
// that has shipped; add the next.
const char* const kMigrations[] = {
    // 1: counters, raw readings, per-minute and per-hour aggregates, protocol intervals. The tables are keyed on
    // what is looked up (no rowid), so a reading costs its key once.
    "CREATE TABLE counters(id INTEGER PRIMARY KEY, serial TEXT NOT NULL UNIQUE);"
    "CREATE TABLE readings(counter INTEGER NOT NULL, mode INTEGER NOT NULL, time INTEGER NOT NULL,"
    " value REAL NOT NULL, counter_unit TEXT NOT NULL, level INTEGER NOT NULL,"
    " PRIMARY KEY(counter, mode, time)) WITHOUT ROWID;"
    "CREATE TABLE minutes(counter INTEGER NOT NULL, mode INTEGER NOT NULL, minute INTEGER NOT NULL,"
    " count INTEGER NOT NULL, min REAL NOT NULL, sum REAL NOT NULL, max REAL NOT NULL,"
    " PRIMARY KEY(counter, mode, minute)) WITHOUT ROWID;"
    "CREATE TABLE hours(counter INTEGER NOT NULL, mode INTEGER NOT NULL, hour INTEGER NOT NULL,"
    " count INTEGER NOT NULL, min REAL NOT NULL, sum REAL NOT NULL, max REAL NOT NULL,"
    " PRIMARY KEY(counter, mode, hour)) WITHOUT ROWID;"
    "CREATE TABLE intervals(counter INTEGER NOT NULL, start INTEGER NOT NULL, duration INTEGER NOT NULL,"
    " pulses INTEGER NOT NULL, dose_rate REAL, flags INTEGER NOT NULL,"
    " PRIMARY KEY(counter, start)) WITHOUT ROWID;",
};

constexpr int kBusy = 5;       // SQLITE_BUSY
constexpr int kReadOnly = 8;   // SQLITE_READONLY
constexpr int kCantOpen = 14;  // SQLITE_CANTOPEN
constexpr int kDamaged = 11;   // SQLITE_CORRUPT
constexpr int kTooBig = 18;    // SQLITE_TOOBIG
constexpr int kConstraint = 19; // SQLITE_CONSTRAINT
constexpr int kMismatch = 20;  // SQLITE_MISMATCH
constexpr int kRange = 25;     // SQLITE_RANGE
constexpr int kNotADatabase = 26; // SQLITE_NOTADB

int sqliteCode(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

QString describe(const QSqlError& error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

QString newerSchema(const QString& path, int version)
{
    return QStringLiteral("%1 was written by a newer version (schema %2, this one knows %3) and is left as it is")
        .arg(path)
        .arg(version)
        .arg(int(std::size(kMigrations)));
}

} // namespace

QString defaultPath()
{
    return oq::files::dataHome() + QStringLiteral("/oq-online/history.sqlite3");
}

int schemaVersion() { return int(std::size(kMigrations)); }

bool Database::isDamage(const QSqlError& error)
{
    const int code = sqliteCode(error);
    return code == kDamaged || code == kNotADatabase;
}

bool Database::isRefusal(const QSqlError& error)
{
    const int code = sqliteCode(error);
    return code == kConstraint || code == kMismatch || code == kTooBig || code == kRange;
}

QString Database::describe(const QSqlError& error) { return oq::history::describe(error); }

QString Database::storedSerial(const QString& serial)
{
    // Old firmware names no serial; such a counter still needs a key of its own.
    return serial.isNull() ? QStringLiteral("") : serial;
}

Database::Database(const QString& path, const QString& connection, Access access, bool immutable)
    : m_path(path)
    , m_connection(connection)
    , m_db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection))
{
    if (access == Access::Read) {
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
        QUrl url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
        url.setScheme(QStringLiteral("file"));
        if (immutable)
            url.setQuery(QStringLiteral("immutable=1"));
        m_db.setDatabaseName(url.toString(QUrl::FullyEncoded));
    } else {
        m_db.setDatabaseName(path);
    }
}

Database::~Database()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

namespace {

// SQLite opens and makes the file and its -wal and -shm itself, following any link: each is held
// first to the rule every file we write keeps (another user's link or file is not written through).
bool mayWrite(const QString& path, QString* problem)
{
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const QString file = path + QLatin1String(suffix);
        QString refused;
        const int fd = oq::files::openFile(file, O_RDONLY | O_NONBLOCK, oq::files::Privacy::Shared, &refused);
        if (fd >= 0)
            ::close(fd);
        else if (errno != ENOENT && errno != EACCES) {
            if (problem)
                *problem = QStringLiteral("%1: %2").arg(file, refused);
            return false;
        }
    }
    return true;
}

} // namespace

std::unique_ptr<Database> Database::open(const QString& path, Access access, QString* problem, QString* movedAside)
{
    static QAtomicInteger<quint64> connections;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        if (problem)
            *problem = QStringLiteral("Qt's SQLite driver is not installed (Debian package libqt6sql6-sqlite)");
        return nullptr;
    }
    if (access == Access::Read && !QFileInfo::exists(path)) {
        if (problem)
            *problem = QStringLiteral("%1 does not exist").arg(path);
        return nullptr;
    }
    if (access == Access::Write) {
        oq::files::makeFolder(QFileInfo(path).absolutePath(), oq::files::Privacy::Shared);
        if (!mayWrite(path, problem))
            return nullptr;
    }
    bool immutable = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QString name = QStringLiteral("oq-history-%1").arg(connections.fetchAndAddRelaxed(1));
        std::unique_ptr<Database> db(new Database(path, name, access, immutable));
        QSqlError error;
        QString why;
        if (db->prepare(access, &error, &why))
            return db;
        db.reset();
        // A WAL file in a folder the reader may not write, with no writer's -shm beside it: nobody
        // can be writing it, so it is read as it stands.
        if (access == Access::Read && !immutable && (sqliteCode(error) == kCantOpen || sqliteCode(error) == kReadOnly)) {
            // Read as it stands, the file would leave out what the log holds: the newest readings.
            if (QFileInfo(path + QStringLiteral("-wal")).size() > 0) {
                if (problem)
                    *problem = QStringLiteral("%1: its newest readings are still in %1-wal, which can only be read where the folder "
                                              "can be written; copy the two files to such a folder, or open it once where it can be written")
                                   .arg(path);
                return nullptr;
            }
            immutable = true;
            continue;
        }
        if (access == Access::Write && attempt == 0 && isDamage(error)) {
            const QString aside = moveAside(path, "history", {QStringLiteral("-wal"), QStringLiteral("-shm")});
            LGLogWarn("History database %@ is damaged (%@); kept as %@, a new one is started", path, why, aside);
            if (movedAside)
                *movedAside = aside;
            if (!aside.isEmpty())
                continue;
        }
        if (problem)
            *problem = why;
        return nullptr;
    }
    return nullptr;
}

bool Database::prepare(Access access, QSqlError* error, QString* problem)
{
    if (!m_db.open()) {
        *error = m_db.lastError();
        *problem = QStringLiteral("%1: %2").arg(m_path, describe(*error));
        return false;
    }
    // WAL: readers never wait for the writer; NORMAL: a crash of the program loses nothing
    // committed, a power cut at most the last transactions. A reader changes nothing.
    if (!exec(QStringLiteral("PRAGMA busy_timeout=5000"), error)) {
        *problem = QStringLiteral("%1: %2").arg(m_path, describe(*error));
        return false;
    }
    // Before anything is changed: another program's database is left exactly as it is. A damaged
    // file is found here rather than by every later query.
    int version = 0;
    const auto ours = isOurs(error, &version);
    if (!ours) {
        *problem = QStringLiteral("%1: %2").arg(m_path, describe(*error));
        return false;
    }
    if (*ours == Ownership::Foreign || (access == Access::Read && *ours == Ownership::Empty)) {
        *problem = *ours == Ownership::Foreign
            ? QStringLiteral("%1 is not a history database of oq-online and is left as it is").arg(m_path)
            : QStringLiteral("%1 holds no history").arg(m_path);
        return false;
    }
    // A newer schema may mean what this version would misread; it is left to the version that wrote it.
    if (version > schemaVersion()) {
        *problem = newerSchema(m_path, version);
        return false;
    }
    if (access == Access::Read)
        return true;
    for (const QString& pragma : {QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA synchronous=NORMAL")}) {
        if (!execWaiting(pragma, error)) {
            *problem = QStringLiteral("%1: %2").arg(m_path, describe(*error));
            return false;
        }
    }
    return migrate(error, problem);
}

std::optional<Database::Ownership> Database::isOurs(QSqlError* error, int* version)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT (SELECT count(*) FROM sqlite_schema),"
                               " (SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'migrations'),"
                               " (SELECT user_version FROM pragma_user_version)"))
        || !q.next()) {
        *error = q.lastError();
        return std::nullopt;
    }
    const qint64 objects = q.value(0).toLongLong();
    const bool migrations = q.value(1).toLongLong() > 0;
    *version = q.value(2).toInt();
    if (objects == 0 && *version == 0)
        return Ownership::Empty;
    // Every version we wrote keeps its migrations beside the user version.
    return migrations && *version > 0 ? Ownership::Ours : Ownership::Foreign;
}

bool Database::migrate(QSqlError* error, QString* problem)
{
    const auto fail = [&](const QSqlError& e) {
        *error = e;
        *problem = QStringLiteral("%1: %2").arg(m_path, describe(e));
        return false;
    };
    // The version is read again under the write lock: two programs starting on a new file at
    // once must not both create the tables.
    QSqlError e;
    if (!execWaiting(QStringLiteral("BEGIN IMMEDIATE"), &e))
        return fail(e);
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        const QSqlError readError = q.lastError();
        exec(QStringLiteral("ROLLBACK"));
        return fail(readError);
    }
    const int version = q.value(0).toInt();
    q.finish();
    if (version >= schemaVersion()) {
        exec(QStringLiteral("ROLLBACK"));
        if (version == schemaVersion())
            return true;
        *problem = newerSchema(m_path, version);
        return false;
    }
    bool ok = exec(QStringLiteral("CREATE TABLE IF NOT EXISTS migrations(version INTEGER PRIMARY KEY, applied INTEGER NOT NULL)"), &e);
    for (int v = version; ok && v < schemaVersion(); ++v) {
        for (const QString& statement : QString::fromLatin1(kMigrations[v]).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            ok = exec(statement, &e);
            if (!ok)
                break;
        }
        ok = ok
            && exec(QStringLiteral("INSERT OR REPLACE INTO migrations VALUES(%1, CAST(strftime('%s','now') AS INTEGER) * 1000)").arg(v + 1), &e);
    }
    ok = ok && exec(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion()), &e);
    if (!ok || !exec(QStringLiteral("COMMIT"), &e)) {
        exec(QStringLiteral("ROLLBACK"));
        return fail(e);
    }
    return true;
}

bool Database::execWaiting(const QString& statement, QSqlError* error)
{
    // SQLite gives up at once, without its busy wait, where waiting could deadlock; a second
    // program making the same new file at the same moment (changing its journal, taking the schema
    // step) is such a case, and asking again resolves it.
    for (int attempt = 0;; ++attempt) {
        if (exec(statement, error))
            return true;
        if (sqliteCode(*error) != kBusy || attempt >= 500)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Database::exec(const QString& statement, QSqlError* error)
{
    QSqlQuery q(m_db);
    if (q.exec(statement))
        return true;
    if (error)
        *error = q.lastError();
    return false;
}

std::optional<qint64> Database::counterId(const QString& given, bool create, QSqlError* error)
{
    const QString serial = storedSerial(given);
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT id FROM counters WHERE serial = ?"));
    q.addBindValue(serial);
    if (!q.exec()) {
        if (error)
            *error = q.lastError();
        return std::nullopt;
    }
    if (q.next())
        return q.value(0).toLongLong();
    if (!create)
        return std::nullopt;
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO counters(serial) VALUES(?)"));
    insert.addBindValue(serial);
    if (!insert.exec()) {
        if (error)
            *error = insert.lastError();
        return std::nullopt;
    }
    return insert.lastInsertId().toLongLong();
}

} // namespace oq::history
