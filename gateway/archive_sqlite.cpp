// The archive in one SQLite file: WAL, so that searches never wait for the
// writer; an FTS5 index on the text, kept by triggers; indexes on user,
// contact and time.
#include "archive.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

namespace gw {

namespace {

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS records (
  id INTEGER PRIMARY KEY,
  time INTEGER NOT NULL,
  conversation TEXT NOT NULL,
  seq INTEGER NOT NULL,
  user TEXT NOT NULL,
  contact TEXT NOT NULL,
  direction TEXT NOT NULL,
  kind TEXT NOT NULL,
  verdict TEXT NOT NULL,
  text TEXT NOT NULL,
  prev TEXT NOT NULL,
  hash TEXT NOT NULL,
  UNIQUE (conversation, seq));
CREATE INDEX IF NOT EXISTS records_user_time ON records (user, time);
CREATE INDEX IF NOT EXISTS records_contact_time ON records (contact, time);
CREATE INDEX IF NOT EXISTS records_time ON records (time);
CREATE VIRTUAL TABLE IF NOT EXISTS records_text USING fts5 (text, content='records', content_rowid='id', columnsize=0);
CREATE TRIGGER IF NOT EXISTS records_text_add AFTER INSERT ON records BEGIN
  INSERT INTO records_text (rowid, text) VALUES (new.id, new.text);
END;
CREATE TRIGGER IF NOT EXISTS records_text_del AFTER DELETE ON records BEGIN
  INSERT INTO records_text (records_text, rowid, text) VALUES ('delete', old.id, old.text);
END;
CREATE TABLE IF NOT EXISTS anchors (
  conversation TEXT PRIMARY KEY,
  seq INTEGER NOT NULL,
  hash TEXT NOT NULL);
)";

const char kColumns[] =
    "r.id, r.time, r.conversation, r.seq, r.user, r.contact, r.direction, r.kind, r.verdict, r.text, r.prev, r.hash";

// Words for FTS5, each quoted so that none is read as its query syntax.
std::string fts_words(const std::string &text)
{
    std::string out, word;
    auto flush = [&] {
        // Punctuation alone is no token: such a word could only fail.
        if (std::none_of(word.begin(), word.end(), [](unsigned char c) { return std::isalnum(c) || c >= 0x80; })) {
            word.clear();
            return;
        }
        std::string quoted = "\"";
        for (char c : word)
            quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        out += (out.empty() ? "" : " ") + quoted + "\"";
        word.clear();
    };
    for (char c : text) {
        if (c == ' ' || c == '\t')
            flush();
        else
            word += c;
    }
    flush();
    return out;
}

class Statement {
public:
    Statement(sqlite3 *db, const std::string &sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr); }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    explicit operator bool() const { return s_ != nullptr; }
    sqlite3_stmt *get() { return s_; }
    void text(int i, const std::string &v) { sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
    void integer(int i, long long v) { sqlite3_bind_int64(s_, i, v); }
    std::string column(int i)
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(s_, i));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, i))) : std::string();
    }

private:
    sqlite3_stmt *s_ = nullptr;
};

ArchiveRecord row_of(Statement &s)
{
    return archive_record_from([&](int c) { return s.column(c); });
}

class SqliteStore : public ArchiveStore {
public:
    explicit SqliteStore(std::string path) : path_(std::move(path)) {}
    ~SqliteStore() override { sqlite3_close(db_); }

    bool open(std::string &error) override
    {
        sqlite3_close(db_);
        db_ = nullptr;
        if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK)
            return fail("cannot open the archive " + path_, error);
        // A reader meets the writer's lock only for a moment.
        sqlite3_busy_timeout(db_, 5000);
        // Records land all over the user and contact indexes: with SQLite's
        // small default cache each batch wrote most of its pages twice.
        return exec("PRAGMA page_size=65536; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-131072; "
                    "PRAGMA wal_autocheckpoint=8192;",
                    error) &&
               exec(kSchema, error);
    }

    bool append(const std::vector<ArchiveRecord> &batch, std::string &error) override
    {
        if (!exec("BEGIN IMMEDIATE", error))
            return false;
        // A record that is there already (a spill file replayed twice) is
        // the same record: it is left as it is.
        Statement s(db_, "INSERT OR IGNORE INTO records (time, conversation, seq, user, contact, direction, kind, "
                         "verdict, text, prev, hash) VALUES (?,?,?,?,?,?,?,?,?,?,?)");
        if (!s)
            return rollback(error);
        for (const auto &r : batch) {
            sqlite3_reset(s.get());
            s.integer(1, r.time);
            s.text(2, r.conversation);
            s.integer(3, r.seq);
            s.text(4, r.user);
            s.text(5, r.contact);
            s.text(6, r.direction);
            s.text(7, r.kind);
            s.text(8, r.verdict);
            s.text(9, r.text);
            s.text(10, r.prev);
            s.text(11, r.hash);
            if (sqlite3_step(s.get()) != SQLITE_DONE)
                return rollback(error);
        }
        return exec("COMMIT", error) || rollback(error);
    }

    bool search(const ArchiveQuery &q, std::vector<ArchiveRecord> &out, std::string &error) override
    {
        // Words alone are looked up newest first in the text index, which
        // stops at the page's end however common the words; with a user,
        // contact or conversation their index leads and the words filter.
        const std::string words = fts_words(q.text);
        const bool by_text = !words.empty() && q.user.empty() && q.contact.empty() && q.conversation.empty();
        std::string sql = std::string("SELECT ") + kColumns;
        std::vector<std::pair<int, std::string>> texts;
        std::vector<std::pair<int, long long>> numbers;
        int n = 0;
        if (by_text) {
            sql += " FROM records_text JOIN records r ON r.id = records_text.rowid WHERE records_text MATCH ?";
            texts.emplace_back(++n, words);
        } else {
            sql += " FROM records r WHERE 1";
        }
        if (!q.user.empty()) {
            sql += q.user.find('*') == std::string::npos ? " AND r.user = ?" : " AND r.user LIKE ? ESCAPE '\\'";
            texts.emplace_back(++n, q.user.find('*') == std::string::npos ? archive_lower(q.user) : archive_like_pattern(q.user));
        }
        if (!q.contact.empty()) {
            // A group conversation's records name every contact.
            if (q.contact.find('*') == std::string::npos) {
                sql += " AND (r.contact = ? OR ',' || r.contact || ',' LIKE ? ESCAPE '\\')";
                texts.emplace_back(++n, archive_lower(q.contact));
                texts.emplace_back(++n, "%," + archive_like_pattern(q.contact) + ",%");
            } else {
                sql += " AND r.contact LIKE ? ESCAPE '\\'";
                texts.emplace_back(++n, archive_like_pattern(q.contact));
            }
        }
        if (!q.verdict.empty()) {
            sql += " AND r.verdict = ?";
            texts.emplace_back(++n, q.verdict);
        }
        if (!q.conversation.empty()) {
            sql += " AND r.conversation = ?";
            texts.emplace_back(++n, q.conversation);
        }
        if (q.from) {
            sql += " AND r.time >= ?";
            numbers.emplace_back(++n, q.from);
        }
        if (q.to) {
            sql += " AND r.time < ?";
            numbers.emplace_back(++n, q.to);
        }
        if (!words.empty() && !by_text) {
            sql += " AND r.id IN (SELECT rowid FROM records_text WHERE records_text MATCH ?)";
            texts.emplace_back(++n, words);
        }
        sql += by_text                    ? " ORDER BY records_text.rowid DESC"
               : q.conversation.empty() ? " ORDER BY r.time DESC, r.id DESC"
                                        : " ORDER BY r.seq";
        sql += " LIMIT ? OFFSET ?";
        numbers.emplace_back(++n, static_cast<long long>(q.limit));
        numbers.emplace_back(++n, static_cast<long long>(q.offset));
        Statement s(db_, sql);
        if (!s)
            return fail("cannot search the archive", error);
        for (auto &[i, v] : texts)
            s.text(i, v);
        for (auto &[i, v] : numbers)
            s.integer(i, v);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
            out.push_back(row_of(s));
        return rc == SQLITE_DONE || fail("cannot search the archive", error);
    }

    bool walk(const std::function<bool(const ArchiveRecord &)> &each, std::string &error) override
    {
        Statement s(db_, std::string("SELECT ") + kColumns + " FROM records r ORDER BY r.conversation, r.seq");
        if (!s)
            return fail("cannot read the archive", error);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
            if (!each(row_of(s)))
                return true;
        return rc == SQLITE_DONE || fail("cannot read the archive", error);
    }

    bool anchors(std::map<std::string, std::pair<long long, std::string>> &out, std::string &error) override
    {
        Statement s(db_, "SELECT conversation, seq, hash FROM anchors");
        if (!s)
            return fail("cannot read the archive's anchors", error);
        while (sqlite3_step(s.get()) == SQLITE_ROW)
            out[s.column(0)] = {sqlite3_column_int64(s.get(), 1), s.column(2)};
        return true;
    }

    long purge(long before, int limit, std::string &error) override
    {
        if (!exec("BEGIN IMMEDIATE", error))
            return -1;
        // The oldest records, in chain order, so that each chain loses a
        // prefix and its anchor is the last record removed.
        Statement pick(db_, "SELECT id, conversation, seq, hash FROM records WHERE time < ? "
                            "ORDER BY conversation, seq LIMIT ?");
        if (!pick)
            return rollback(error), -1;
        pick.integer(1, before);
        pick.integer(2, limit);
        std::vector<long long> ids;
        std::map<std::string, std::pair<long long, std::string>> last;
        while (sqlite3_step(pick.get()) == SQLITE_ROW) {
            ids.push_back(sqlite3_column_int64(pick.get(), 0));
            last[pick.column(1)] = {sqlite3_column_int64(pick.get(), 2), pick.column(3)};
        }
        Statement del(db_, "DELETE FROM records WHERE id = ?");
        Statement anchor(db_, "INSERT INTO anchors (conversation, seq, hash) VALUES (?,?,?) "
                              "ON CONFLICT (conversation) DO UPDATE SET seq = excluded.seq, hash = excluded.hash");
        if (!del || !anchor)
            return rollback(error), -1;
        for (long long id : ids) {
            sqlite3_reset(del.get());
            del.integer(1, id);
            if (sqlite3_step(del.get()) != SQLITE_DONE)
                return rollback(error), -1;
        }
        for (const auto &[conversation, tail] : last) {
            sqlite3_reset(anchor.get());
            anchor.text(1, conversation);
            anchor.integer(2, tail.first);
            anchor.text(3, tail.second);
            if (sqlite3_step(anchor.get()) != SQLITE_DONE)
                return rollback(error), -1;
        }
        if (!exec("COMMIT", error))
            return rollback(error), -1;
        return static_cast<long>(ids.size());
    }

private:
    bool exec(const char *sql, std::string &error)
    {
        char *message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        error = "archive " + path_ + ": " + (message ? message : sqlite3_errmsg(db_));
        sqlite3_free(message);
        return false;
    }

    bool fail(const std::string &what, std::string &error)
    {
        error = what + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        return false;
    }

    bool rollback(std::string &error)
    {
        if (error.empty())
            error = std::string("archive ") + path_ + ": " + sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

    std::string path_;
    sqlite3 *db_ = nullptr;
};

} // namespace

std::unique_ptr<ArchiveStore> make_sqlite_store(const std::string &path) { return std::make_unique<SqliteStore>(path); }

} // namespace gw
