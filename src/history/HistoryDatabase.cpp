#include "history/HistoryDatabase.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "logging/Log.h"
#include "platform/MoveAside.h"

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

constexpr int kDamaged = 11;   // SQLITE_CORRUPT
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

} // namespace

QString defaultPath()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/oq-online/history.sqlite3");
}

int schemaVersion() { return int(std::size(kMigrations)); }

bool Database::isDamage(const QSqlError& error)
{
    const int code = sqliteCode(error);
    return code == kDamaged || code == kNotADatabase;
}

Database::Database(const QString& path, const QString& connection)
    : m_path(path)
    , m_connection(connection)
    , m_db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection))
{
    m_db.setDatabaseName(path);
}

Database::~Database()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

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
    if (access == Access::Write)
        QDir().mkpath(QFileInfo(path).absolutePath());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const QString name = QStringLiteral("oq-history-%1").arg(connections.fetchAndAddRelaxed(1));
        std::unique_ptr<Database> db(new Database(path, name));
        QSqlError error;
        QString why;
        if (db->prepare(access, &error, &why))
            return db;
        db.reset();
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
    QStringList pragmas{QStringLiteral("PRAGMA busy_timeout=5000")};
    if (access == Access::Write)
        pragmas << QStringLiteral("PRAGMA journal_mode=WAL") << QStringLiteral("PRAGMA synchronous=NORMAL");
    for (const QString& pragma : pragmas) {
        if (!exec(pragma, error)) {
            *problem = QStringLiteral("%1: %2").arg(m_path, describe(*error));
            return false;
        }
    }
    if (access == Access::Read) {
        // A damaged file is found here rather than by every later query.
        if (!exec(QStringLiteral("SELECT count(*) FROM sqlite_schema"), error)) {
            *problem = QStringLiteral("%1: %2").arg(m_path, describe(*error));
            return false;
        }
        return true;
    }
    return migrate(error, problem);
}

bool Database::migrate(QSqlError* error, QString* problem)
{
    const auto fail = [&](const QSqlError& e) {
        *error = e;
        *problem = QStringLiteral("%1: %2").arg(m_path, describe(e));
        return false;
    };
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return fail(q.lastError());
    const int version = q.value(0).toInt();
    q.finish();
    if (version > schemaVersion()) {
        *problem = QStringLiteral("%1 was written by a newer version (schema %2, this one knows %3) and is left as it is")
                       .arg(m_path)
                       .arg(version)
                       .arg(schemaVersion());
        return false;
    }
    if (version == schemaVersion())
        return true;
    if (!m_db.transaction())
        return fail(m_db.lastError());
    QSqlError e;
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
    if (!ok) {
        m_db.rollback();
        return fail(e);
    }
    if (!m_db.commit())
        return fail(m_db.lastError());
    return true;
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

std::optional<qint64> Database::counterId(const QString& serial, bool create, QSqlError* error)
{
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
