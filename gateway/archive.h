// The chat archive: every conversation line and activity the module hands
// the gateway, kept in a database beside the module's own log files, where
// an auditor can search it, export it and check that nothing was changed.
//
// Relay threads only queue an event's text; one writer thread turns the
// events into records and writes them in batches. Each relayed connection
// is one conversation, and its records form a hash chain: a record's hash
// is SHA-256 of the previous record's hash and of this record, so a record
// changed, removed or inserted in the database breaks the chain there.
#ifndef GW_ARCHIVE_H
#define GW_ARCHIVE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gw {

class EventSink;

struct ArchiveRecord {
    long long id = 0; // the store's number, once written
    long time = 0;
    std::string conversation; // GATEWAY:START:TID of the relayed connection
    long long seq = 0;        // 1, 2, ... within the conversation
    std::string user;         // the local user, as the module names it
    std::string contact;      // the other side (a comma list in a group chat), or "" for the user's own doings
    std::string direction;    // "out", "in" or ""
    std::string kind;         // "message", an activity ("filetransfer", "nudge", ...), "join", "login", ...
    std::string verdict;
    std::string text; // the message, the file name, or ""
    std::string prev, hash; // hexadecimal SHA-256
};

// What to look for; empty fields do not restrict. `user` and `contact` take
// `*` for any run of characters; `text` is words that must all appear.
struct ArchiveQuery {
    std::string user, contact, text, verdict, conversation;
    long from = 0, to = 0; // [from, to), 0 for open
    size_t offset = 0, limit = 100;
};

// Handles as the archive keeps them: in lower case.
std::string archive_lower(std::string text);
// A user or contact pattern, `*` for any run, as a LIKE pattern (escaped
// with `\`) in lower case.
std::string archive_like_pattern(const std::string &glob);

// A record from a row of the stores' column order (id, time, conversation,
// seq, user, contact, direction, kind, verdict, text, prev, hash), each
// column read as text.
ArchiveRecord archive_record_from(const std::function<std::string(int)> &column);

// The hash a record must carry after `prev`.
std::string archive_hash(const std::string &prev, const ArchiveRecord &r);
// A chain's hash before its first record.
extern const std::string kArchiveGenesis;

// One database. Calls come from one thread at a time per object; the
// archive keeps one store for writing and opens another for each reader.
class ArchiveStore {
public:
    virtual ~ArchiveStore() = default;
    // Connects (again) and creates the schema when it is missing.
    virtual bool open(std::string &error) = 0;
    // The records, in one transaction: all or none.
    virtual bool append(const std::vector<ArchiveRecord> &batch, std::string &error) = 0;
    // Newest first.
    virtual bool search(const ArchiveQuery &q, std::vector<ArchiveRecord> &out, std::string &error) = 0;
    // Every record in chain order (conversation, then seq); `each` may stop
    // the walk by returning false.
    virtual bool walk(const std::function<bool(const ArchiveRecord &)> &each, std::string &error) = 0;
    // Where purged chains now begin: conversation -> (last purged seq, its hash).
    virtual bool anchors(std::map<std::string, std::pair<long long, std::string>> &out, std::string &error) = 0;
    // Removes up to `limit` records older than `before`, whole chain
    // prefixes only, leaving an anchor for each chain cut; how many, or -1.
    virtual long purge(long before, int limit, std::string &error) = 0;
};

// `sqlite:PATH` or `postgresql://...` (any libpq connection URI); null with
// `error` for another form.
std::unique_ptr<ArchiveStore> make_archive_store(const std::string &spec, std::string &error);

struct ArchiveBreak {
    std::string conversation;
    long long id = 0, seq = 0;
    std::string why;
};

class Archive {
public:
    struct Options {
        std::string spec;       // as make_archive_store takes it
        std::string gateway;    // this gateway's name in conversation names
        std::string spill_file; // where queued records go while the store is away
        size_t max_queued = 100000; // records held in memory before spilling
        long retention_days = 0;    // records older than this are removed; 0 keeps them
        EventSink *events = nullptr;
    };

    // Opens the store (creating its schema) and starts the writer.
    static std::unique_ptr<Archive> open(Options o, std::string &error);
    // Writes everything still queued when the store takes it, spills the
    // rest, and stops the writer.
    ~Archive();
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    // From a relay thread: one event element of connection `tid`, whose
    // local user is `user` and whose conversation has `contacts` (a comma
    // list: an outgoing message that names nobody is for all of them).
    // Never waits for the database.
    void add(unsigned long tid, const std::string &user, const std::string &contacts, long time,
             const std::string &event_xml);
    // From a relay thread: connection `tid` ended; its chain is complete.
    void end(unsigned long tid);
    // Waits until what was added before is written, or `timeout_ms` passed;
    // true when written.
    bool flush(int timeout_ms = 10000);

    bool search(const ArchiveQuery &q, std::vector<ArchiveRecord> &out, std::string &error);
    // Every chain checked; the breaks found, and how many records were read.
    bool verify(std::vector<ArchiveBreak> &breaks, long long &checked, std::string &error);
    // Removes up to `limit` records older than `before`; how many, or -1.
    long purge(long before, int limit, std::string &error);

    struct Counts {
        uint64_t written = 0, spilled = 0, failures = 0;
        uint64_t queued = 0; // events not yet taken, and records not yet written (but spilled ones)
    };
    Counts counts() const;

private:
    explicit Archive(Options o);
    struct Raw {
        unsigned long tid;
        long time;
        std::string user, contacts, xml; // no xml: the connection ended
    };
    void run();
    void to_records(std::vector<Raw> &raws, std::vector<ArchiveRecord> &out);
    // Writes the spill file and the pending batches, oldest first; false
    // when the database failed (what it did not take stays pending).
    bool write_pending();
    // Moves the oldest pending batches to the spill file until at most
    // `keep` records are pending.
    void spill_oldest(size_t keep);
    // Removes what is past the retention, a small batch at a time while
    // nothing waits to be written.
    void purge_expired();
    bool replay_spill(std::string &error);

    Options o_;
    std::string boot_; // this process's start, part of every conversation name
    std::unique_ptr<ArchiveStore> store_;
    bool store_open_ = false;

    mutable std::mutex lock_;
    std::condition_variable wake_, written_;
    std::vector<Raw> incoming_;            // under lock_
    uint64_t added_ = 0, done_ = 0;        // under lock_: raw events taken, and written or dropped
    bool stopping_ = false;                // under lock_
    bool clean_ = true;                    // under lock_: nothing waits for the database
    std::deque<std::vector<ArchiveRecord>> pending_; // the writer's own
    std::atomic<size_t> pending_records_{0}; // the writer's; read by counts()
    // Each open connection's last seq and hash, until it ends: a chain
    // begun again would repeat its numbers, and the store would take the
    // new records for ones it has.
    std::map<unsigned long, std::pair<long long, std::string>> tails_;
    bool spilled_ = false;                 // the spill file holds records not yet written
    std::chrono::steady_clock::time_point next_purge_{};
    std::atomic<uint64_t> written_n_{0}, spilled_n_{0}, failures_n_{0};
    std::thread writer_;

    std::mutex reader_lock_; // searches, one at a time, on a connection of their own
    std::unique_ptr<ArchiveStore> reader_;
    bool reader_open_ = false;
};

} // namespace gw

#endif
