// The archive in PostgreSQL, for several gateways writing one archive:
// the same table as SQLite's, with full-text search through a GIN index.
#include "archive.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace gw {

namespace {

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS records (
  id BIGSERIAL PRIMARY KEY,
  time BIGINT NOT NULL,
  conversation TEXT NOT NULL,
  seq BIGINT NOT NULL,
  "user" TEXT NOT NULL,
  contact TEXT NOT NULL,
  direction TEXT NOT NULL,
  kind TEXT NOT NULL,
  verdict TEXT NOT NULL,
  text TEXT NOT NULL,
  prev TEXT NOT NULL,
  hash TEXT NOT NULL,
  words TSVECTOR GENERATED ALWAYS AS (to_tsvector('simple', text)) STORED,
  UNIQUE (conversation, seq));
CREATE INDEX IF NOT EXISTS records_user_time ON records ("user", time);
CREATE INDEX IF NOT EXISTS records_contact_time ON records (contact, time);
CREATE INDEX IF NOT EXISTS records_time ON records (time);
CREATE INDEX IF NOT EXISTS records_words ON records USING GIN (words);
CREATE TABLE IF NOT EXISTS anchors (
  conversation TEXT PRIMARY KEY,
  seq BIGINT NOT NULL,
  hash TEXT NOT NULL);
)";

const char kColumns[] = "id, time, conversation, seq, \"user\", contact, direction, kind, verdict, text, prev, hash";

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

ArchiveRecord row_of(PGresult *res, int row)
{
    return archive_record_from([&](int c) {
        return std::string(PQgetvalue(res, row, c), static_cast<size_t>(PQgetlength(res, row, c)));
    });
}

class PostgresStore : public ArchiveStore {
public:
    explicit PostgresStore(std::string uri) : uri_(std::move(uri)) {}
    ~PostgresStore() override { PQfinish(db_); }

    bool open(std::string &error) override
    {
        PQfinish(db_);
        db_ = PQconnectdb(uri_.c_str());
        if (PQstatus(db_) != CONNECTION_OK)
            return fail("cannot connect to the archive", error);
        // Several gateways may create the schema at once: one at a time,
        // without a notice on stderr for each part already there.
        return exec("SET client_min_messages = warning", error) && exec("SELECT pg_advisory_lock(7231)", error) &&
               exec(kSchema, error) &&
               exec("SELECT pg_advisory_unlock(7231)", error);
    }

    bool append(const std::vector<ArchiveRecord> &batch, std::string &error) override
    {
        if (!exec("BEGIN", error))
            return false;
        // Many rows to a statement: a round trip per row would cap the
        // rate at the server's latency.
        constexpr size_t kRows = 1000, kFields = 11;
        for (size_t at = 0; at < batch.size(); at += kRows) {
            const size_t end = std::min(batch.size(), at + kRows);
            std::string sql = "INSERT INTO records (time, conversation, seq, \"user\", contact, direction, kind, "
                              "verdict, text, prev, hash) VALUES ";
            std::vector<std::string> numbers;
            std::vector<const char *> values;
            numbers.reserve(2 * (end - at));
            for (size_t i = at; i < end; ++i) {
                const ArchiveRecord &r = batch[i];
                numbers.push_back(std::to_string(r.time));
                numbers.push_back(std::to_string(r.seq));
                const size_t n = values.size();
                sql += i == at ? "(" : ",(";
                for (size_t f = 1; f <= kFields; ++f)
                    sql += "$" + std::to_string(n + f) + (f == kFields ? ")" : ",");
                for (const char *v : {numbers[numbers.size() - 2].c_str(), r.conversation.c_str(),
                                      numbers.back().c_str(), r.user.c_str(), r.contact.c_str(), r.direction.c_str(),
                                      r.kind.c_str(), r.verdict.c_str(), r.text.c_str(), r.prev.c_str(),
                                      r.hash.c_str()})
                    values.push_back(v);
            }
            // A record that is there already (a spill file replayed twice)
            // is the same record: it is left as it is.
            sql += " ON CONFLICT (conversation, seq) DO NOTHING";
            Result res(PQexecParams(db_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                    nullptr, 0),
                       PQclear);
            if (PQresultStatus(res.get()) != PGRES_COMMAND_OK)
                return rollback(error);
        }
        return exec("COMMIT", error) || rollback(error);
    }

    bool search(const ArchiveQuery &q, std::vector<ArchiveRecord> &out, std::string &error) override
    {
        std::string sql = std::string("SELECT ") + kColumns + " FROM records WHERE true";
        std::vector<std::string> params;
        auto param = [&](std::string v) {
            params.push_back(std::move(v));
            return "$" + std::to_string(params.size());
        };
        if (!q.user.empty())
            sql += q.user.find('*') == std::string::npos ? " AND \"user\" = " + param(archive_lower(q.user))
                                                         : " AND \"user\" LIKE " + param(archive_like_pattern(q.user));
        if (!q.contact.empty()) {
            // A group conversation's records name every contact.
            if (q.contact.find('*') == std::string::npos)
                sql += " AND (contact = " + param(archive_lower(q.contact)) + " OR ',' || contact || ',' LIKE " +
                       param("%," + archive_like_pattern(q.contact) + ",%") + ")";
            else
                sql += " AND contact LIKE " + param(archive_like_pattern(q.contact));
        }
        if (!q.verdict.empty())
            sql += " AND verdict = " + param(q.verdict);
        if (!q.conversation.empty())
            sql += " AND conversation = " + param(q.conversation);
        if (q.from)
            sql += " AND time >= " + param(std::to_string(q.from)) + "::bigint";
        if (q.to)
            sql += " AND time < " + param(std::to_string(q.to)) + "::bigint";
        // A rare word's matches are few: the full-text index gives them all,
        // to be sorted. A common word's run to millions, so it is a filter
        // on records read in the order wanted (newest first stops at the
        // first page of them); `ts_match_vq` is `@@` spelled so that the
        // planner cannot take it to the index.
        const bool words = q.text.find_first_not_of(" \t") != std::string::npos;
        const bool few = words && expected_matches(q.text) <= kFewMatches;
        if (words)
            sql += std::string(few ? " AND words @@ " : " AND ts_match_vq(words, ") + "plainto_tsquery('simple', " +
                   param(q.text) + (few ? ")" : "))");
        const bool by_text = words && q.user.empty() && q.contact.empty() && q.conversation.empty();
        // `id + 0`: a rare word's matches sorted, not the primary key read
        // backwards in hope of meeting them.
        const std::string order = by_text                    ? (few ? " ORDER BY id + 0 DESC" : " ORDER BY id DESC")
                                  : q.conversation.empty() ? " ORDER BY time DESC, id DESC"
                                                           : " ORDER BY seq";
        return query(sql + order + " LIMIT " + std::to_string(q.limit) + " OFFSET " + std::to_string(q.offset), params,
                     out, error);
    }

    bool walk(const std::function<bool(const ArchiveRecord &)> &each, std::string &error) override
    {
        // A cursor, so that a large archive is read a slice at a time.
        if (!exec("BEGIN", error) ||
            !exec((std::string("DECLARE walk NO SCROLL CURSOR FOR SELECT ") + kColumns +
                   " FROM records ORDER BY conversation, seq")
                      .c_str(),
                  error))
            return rollback(error);
        for (;;) {
            Result res(PQexec(db_, "FETCH 10000 FROM walk"), PQclear);
            if (PQresultStatus(res.get()) != PGRES_TUPLES_OK)
                return rollback(error);
            const int n = PQntuples(res.get());
            for (int i = 0; i < n; ++i)
                if (!each(row_of(res.get(), i)))
                    return exec("COMMIT", error);
            if (n == 0)
                return exec("COMMIT", error);
        }
    }

    bool anchors(std::map<std::string, std::pair<long long, std::string>> &out, std::string &error) override
    {
        Result res(PQexec(db_, "SELECT conversation, seq, hash FROM anchors"), PQclear);
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK)
            return fail("cannot read the archive's anchors", error);
        for (int i = 0; i < PQntuples(res.get()); ++i)
            out[PQgetvalue(res.get(), i, 0)] = {std::atoll(PQgetvalue(res.get(), i, 1)), PQgetvalue(res.get(), i, 2)};
        return true;
    }

    long purge(long before, int limit, std::string &error) override
    {
        const std::string b = std::to_string(before), l = std::to_string(limit);
        const char *values[] = {b.c_str(), l.c_str()};
        // One statement: the oldest records in chain order go, and each
        // chain cut keeps the hash of its last removed record.
        Result res(PQexecParams(db_,
                                "WITH gone AS (DELETE FROM records WHERE id IN (SELECT id FROM records WHERE time < "
                                "$1::bigint ORDER BY conversation, seq LIMIT $2::bigint) RETURNING conversation, seq, "
                                "hash), last AS (SELECT DISTINCT ON (conversation) conversation, seq, hash FROM gone "
                                "ORDER BY conversation, seq DESC), kept AS (INSERT INTO anchors SELECT * FROM last "
                                "ON CONFLICT (conversation) DO UPDATE SET seq = excluded.seq, hash = excluded.hash) "
                                "SELECT count(*) FROM gone",
                                2, nullptr, values, nullptr, nullptr, 0),
                   PQclear);
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
            fail("cannot purge the archive", error);
            return -1;
        }
        return std::atol(PQgetvalue(res.get(), 0, 0));
    }

private:
    // Up to here fetching every match of the words costs less than reading
    // records newest first until a page of them turns up (measured on ten
    // million records, 0.1%-1% of them holding the word).
    static constexpr double kFewMatches = 20000;

    // The planner's estimate, from the column's statistics of its words,
    // of how many records hold all of `text`'s words; unknown is many.
    double expected_matches(const std::string &text)
    {
        const char *values[] = {text.c_str()};
        Result res(PQexecParams(db_, "EXPLAIN SELECT 1 FROM records WHERE words @@ plainto_tsquery('simple', $1)", 1,
                                nullptr, values, nullptr, nullptr, 0),
                   PQclear);
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) == 0)
            return kFewMatches * 2;
        const char *rows = std::strstr(PQgetvalue(res.get(), 0, 0), " rows=");
        return rows ? std::atof(rows + 6) : kFewMatches * 2;
    }

    bool query(const std::string &sql, const std::vector<std::string> &params, std::vector<ArchiveRecord> &out,
               std::string &error)
    {
        std::vector<const char *> values;
        for (const auto &p : params)
            values.push_back(p.c_str());
        Result res(PQexecParams(db_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                nullptr, 0),
                   PQclear);
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK)
            return fail("cannot search the archive", error);
        for (int i = 0; i < PQntuples(res.get()); ++i)
            out.push_back(row_of(res.get(), i));
        return true;
    }

    bool exec(const char *sql, std::string &error)
    {
        Result res(PQexec(db_, sql), PQclear);
        ExecStatusType st = PQresultStatus(res.get());
        if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK)
            return true;
        return fail("archive", error);
    }

    bool fail(const std::string &what, std::string &error)
    {
        std::string message = db_ ? PQerrorMessage(db_) : "out of memory";
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        error = what + ": " + message;
        return false;
    }

    bool rollback(std::string &error)
    {
        if (error.empty())
            fail("archive", error);
        Result res(PQexec(db_, "ROLLBACK"), PQclear);
        return false;
    }

    std::string uri_;
    PGconn *db_ = nullptr;
};

} // namespace

std::unique_ptr<ArchiveStore> make_postgresql_store(const std::string &uri)
{
    return std::make_unique<PostgresStore>(uri);
}

} // namespace gw
