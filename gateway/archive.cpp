// The archive's writer: events in, records with their hash chain out, in
// batches, with a spill file while the database is away.
#include "archive.h"
#include "events.h"

#include <iksemel.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <set>

namespace gw {

const std::string kArchiveGenesis(64, '0');

namespace {

constexpr size_t kWake = 2000;   // events that wake the writer before its time
constexpr size_t kBatch = 20000; // records to a transaction: each commit rewrites the pages it touched
constexpr auto kLinger = std::chrono::milliseconds(100); // how long a lone event waits for company
constexpr auto kRetry = std::chrono::seconds(1);

// "a@x, B@y" as "a@x,b@y".
std::string contact_list(const std::string &contacts)
{
    std::string out, item;
    auto flush = [&] {
        if (!item.empty())
            out += (out.empty() ? "" : ",") + archive_lower(item);
        item.clear();
    };
    for (char c : contacts) {
        if (c == ',')
            flush();
        else if (c != ' ' && c != '\t')
            item += c;
    }
    flush();
    return out;
}

std::string attr(iks *x, const char *name)
{
    const char *v = iks_find_attrib(x, name);
    return v ? v : "";
}

// The spill file keeps a record a line, its fields separated by tabs, with
// tab, line feed and backslash escaped.
std::string escape_field(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::vector<std::string> split_fields(const std::string &line)
{
    std::vector<std::string> out(1);
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            out.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            char n = line[++i];
            out.back() += n == 't' ? '\t' : n == 'n' ? '\n' : n;
        } else {
            out.back() += c;
        }
    }
    return out;
}

std::string spill_line(const ArchiveRecord &r)
{
    std::string line;
    for (const std::string *f : {&r.conversation, &r.user, &r.contact, &r.direction, &r.kind, &r.verdict, &r.text,
                                 &r.prev, &r.hash})
        line += escape_field(*f) + '\t';
    return line + std::to_string(r.seq) + '\t' + std::to_string(r.time) + '\n';
}

bool parse_spill_line(const std::string &line, ArchiveRecord &r)
{
    auto f = split_fields(line);
    if (f.size() != 11)
        return false;
    r.conversation = f[0];
    r.user = f[1];
    r.contact = f[2];
    r.direction = f[3];
    r.kind = f[4];
    r.verdict = f[5];
    r.text = f[6];
    r.prev = f[7];
    r.hash = f[8];
    char *end = nullptr;
    r.seq = std::strtoll(f[9].c_str(), &end, 10);
    if (*end || r.seq <= 0)
        return false;
    r.time = std::strtol(f[10].c_str(), &end, 10);
    return !*end;
}

// An event element as a record; false for the events the archive does not
// keep (the policy's own changes).
bool record_of(const std::string &xml, const std::string &user_in, const std::string &contacts, long time,
               ArchiveRecord &r)
{
    int err = 0;
    iks *x = iks_tree(xml.c_str(), xml.size(), &err);
    if (!x)
        return false;
    const std::string name = iks_name(x) ? iks_name(x) : "";
    const std::string user = archive_lower(user_in);
    const char *cdata = iks_cdata(iks_child(x));
    r.user = user;
    r.time = time;
    r.verdict = attr(x, "verdict");
    bool keep = true;
    if (name == "message" || name == "activity") {
        r.kind = name == "message" ? "message" : attr(x, "activity");
        r.text = cdata ? cdata : "";
        const std::string orig = archive_lower(attr(x, "orig")), dest = archive_lower(attr(x, "dest"));
        if (!user.empty() && orig == user) {
            r.direction = "out";
            r.contact = dest.empty() ? contact_list(contacts) : dest;
        } else {
            r.direction = "in";
            r.contact = orig;
        }
    } else if (name == "join-leave") {
        r.kind = attr(x, "type");
        r.contact = archive_lower(attr(x, "user"));
    } else if (name == "contact-activity") {
        r.kind = attr(x, "code");
        // Sign-ins and changes to the contact list are the user's doings;
        // contacts' presence (a line for each contact at every sign-in and
        // state change) would be most of the archive and tell an auditor
        // nothing.
        static const std::set<std::string> kept = {"login",    "logout",     "adding",  "added-by",
                                                   "removing", "removed-by", "calling", "called-by"};
        keep = kept.count(r.kind) > 0;
        const std::string handle = archive_lower(attr(x, "handle"));
        r.contact = handle == user ? "" : handle;
    } else {
        keep = false;
    }
    iks_delete(x);
    return keep;
}

void append_length_prefixed(std::string &out, const std::string &field)
{
    out += std::to_string(field.size());
    out += ':';
    out += field;
}

} // namespace

std::string archive_lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string archive_like_pattern(const std::string &glob)
{
    std::string out;
    for (char c : archive_lower(glob)) {
        if (c == '*')
            out += '%';
        else if (c == '%' || c == '_' || c == '\\')
            out += std::string("\\") + c;
        else
            out += c;
    }
    return out;
}

ArchiveRecord archive_record_from(const std::function<std::string(int)> &column)
{
    ArchiveRecord r;
    r.id = std::atoll(column(0).c_str());
    r.time = std::atol(column(1).c_str());
    r.conversation = column(2);
    r.seq = std::atoll(column(3).c_str());
    r.user = column(4);
    r.contact = column(5);
    r.direction = column(6);
    r.kind = column(7);
    r.verdict = column(8);
    r.text = column(9);
    r.prev = column(10);
    r.hash = column(11);
    return r;
}

std::unique_ptr<ArchiveStore> make_sqlite_store(const std::string &path);
std::unique_ptr<ArchiveStore> make_postgresql_store(const std::string &uri);

std::unique_ptr<ArchiveStore> make_archive_store(const std::string &spec, std::string &error)
{
    if (spec.rfind("sqlite:", 0) == 0 && spec.size() > 7)
        return make_sqlite_store(spec.substr(7));
    if (spec.rfind("postgresql://", 0) == 0 || spec.rfind("postgres://", 0) == 0)
        return make_postgresql_store(spec);
    error = "archive: expected sqlite:PATH or postgresql://..., got \"" + spec + "\"";
    return nullptr;
}

std::string archive_hash(const std::string &prev, const ArchiveRecord &r)
{
    std::string data = prev;
    for (const std::string *f : {&r.conversation, &r.user, &r.contact, &r.direction, &r.kind, &r.verdict, &r.text})
        append_length_prefixed(data, *f);
    append_length_prefixed(data, std::to_string(r.seq));
    append_length_prefixed(data, std::to_string(r.time));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// A conversation's name must never come again, or its records would be
// taken for ones already written: the start time and a random word set this
// archive's apart from any other gateway's, however alike their host names.
Archive::Archive(Options o) : o_(std::move(o))
{
    std::random_device random;
    char word[9];
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(random()));
    boot_ = std::to_string(std::time(nullptr)) + "-" + word;
}

std::unique_ptr<Archive> Archive::open(Options o, std::string &error)
{
    std::unique_ptr<Archive> a(new Archive(std::move(o)));
    a->store_ = make_archive_store(a->o_.spec, error);
    if (!a->store_ || !a->store_->open(error))
        return nullptr;
    a->store_open_ = true;
    // What an earlier run could not write comes first.
    a->spilled_ = !a->o_.spill_file.empty() && ::access(a->o_.spill_file.c_str(), F_OK) == 0;
    a->writer_ = std::thread([p = a.get()] { p->run(); });
    return a;
}

Archive::~Archive()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable())
        writer_.join();
}

void Archive::add(unsigned long tid, const std::string &user, const std::string &contacts, long time,
                  const std::string &event_xml)
{
    bool wake;
    {
        std::lock_guard<std::mutex> g(lock_);
        incoming_.push_back(Raw{tid, time, user, contacts, event_xml});
        ++added_;
        wake = incoming_.size() >= kWake;
    }
    if (wake)
        wake_.notify_one();
}

void Archive::end(unsigned long tid)
{
    std::lock_guard<std::mutex> g(lock_);
    incoming_.push_back(Raw{tid, 0, {}, {}, {}});
    ++added_;
}

bool Archive::flush(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(lock_);
    const uint64_t target = added_;
    wake_.notify_one();
    return written_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done_ >= target; }) && clean_;
}

Archive::Counts Archive::counts() const
{
    Counts c;
    c.written = written_n_;
    c.spilled = spilled_n_;
    c.failures = failures_n_;
    std::lock_guard<std::mutex> g(lock_);
    c.queued = added_ - done_ + pending_records_;
    return c;
}

void Archive::to_records(std::vector<Raw> &raws, std::vector<ArchiveRecord> &out)
{
    for (Raw &raw : raws) {
        if (raw.xml.empty()) {
            tails_.erase(raw.tid);
            continue;
        }
        ArchiveRecord r;
        if (!record_of(raw.xml, raw.user, raw.contacts, raw.time, r))
            continue;
        r.conversation = o_.gateway + ":" + boot_ + ":" + std::to_string(raw.tid);
        auto &tail = tails_[raw.tid];
        if (tail.second.empty())
            tail.second = kArchiveGenesis;
        r.seq = ++tail.first;
        r.prev = tail.second;
        r.hash = archive_hash(r.prev, r);
        tail.second = r.hash;
        out.push_back(std::move(r));
    }
}

void Archive::spill_oldest(size_t keep)
{
    if (o_.spill_file.empty())
        return;
    // Written first, let go of after: a batch that did not reach the file
    // stays pending. (A line cut short by a full disk is skipped when the
    // file is read back; its record is still pending.)
    std::ofstream out(o_.spill_file, std::ios::app);
    size_t batches = 0, n = 0;
    for (auto it = pending_.begin(); it != pending_.end() && pending_records_ - n > keep; ++it, ++batches) {
        for (const auto &r : *it)
            out << spill_line(r);
        n += it->size();
    }
    out.flush();
    if (!out) {
        if (o_.events)
            o_.events->notice("archive-error", "cannot write the spill file " + o_.spill_file);
        return;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(batches));
    pending_records_ -= n;
    spilled_ = true;
    spilled_n_ += n;
    if (o_.events)
        o_.events->notice("archive-spill", std::to_string(n) + " records the archive could not take yet are kept in " +
                                               o_.spill_file + " and will be written when it can");
}

bool Archive::replay_spill(std::string &error)
{
    std::ifstream in(o_.spill_file);
    if (!in) {
        spilled_ = false;
        return true;
    }
    std::vector<ArchiveRecord> batch;
    std::string line;
    size_t bad = 0;
    while (std::getline(in, line)) {
        ArchiveRecord r;
        if (!parse_spill_line(line, r)) {
            ++bad;
            continue;
        }
        batch.push_back(std::move(r));
        if (batch.size() >= kBatch) {
            if (!store_->append(batch, error))
                return false;
            batch.clear();
        }
    }
    if (!batch.empty() && !store_->append(batch, error))
        return false;
    // A record already written before a failure is written again only by
    // the unique (conversation, seq) key refusing it: the stores skip such
    // duplicates, so replaying from the start is safe.
    ::unlink(o_.spill_file.c_str());
    spilled_ = false;
    if (o_.events)
        o_.events->notice("archive-spill-replayed",
                          "the records kept in " + o_.spill_file + " are in the archive" +
                              (bad ? " (" + std::to_string(bad) + " unreadable lines skipped)" : ""));
    return true;
}

bool Archive::write_pending()
{
    std::string error;
    bool ok = true;
    if (!store_open_)
        ok = store_open_ = store_->open(error);
    if (ok && spilled_)
        ok = replay_spill(error);
    while (ok && !pending_.empty()) {
        if (!store_->append(pending_.front(), error)) {
            ok = false;
            break;
        }
        written_n_ += pending_.front().size();
        pending_records_ -= pending_.front().size();
        pending_.pop_front();
    }
    if (!ok) {
        ++failures_n_;
        store_open_ = false;
        if (o_.events && failures_n_ == 1)
            o_.events->notice("archive-error", error);
    } else if (failures_n_ && o_.events) {
        o_.events->notice("archive-resumed", "the archive is written again");
        failures_n_ = 0;
    }
    return ok;
}

void Archive::run()
{
    // The relay comes first: when both want the processor, the archive
    // falls behind (and spills) rather than the traffic.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        const bool failing = !pending_.empty();
        wake_.wait_for(lock, failing ? std::chrono::duration_cast<std::chrono::milliseconds>(kRetry) : kLinger,
                       [&] { return stopping_ || incoming_.size() >= kWake; });
        std::vector<Raw> raws;
        raws.swap(incoming_);
        const uint64_t taken = raws.size();
        const bool stop = stopping_;
        lock.unlock();
        std::vector<ArchiveRecord> records;
        to_records(raws, records);
        for (size_t at = 0; at < records.size(); at += kBatch) {
            size_t end = std::min(records.size(), at + kBatch);
            pending_.emplace_back(std::make_move_iterator(records.begin() + static_cast<long>(at)),
                                  std::make_move_iterator(records.begin() + static_cast<long>(end)));
            pending_records_ += end - at;
        }
        // Memory holds at most so many records, whether the database is
        // away or only slower than the traffic: the oldest go to the spill
        // file, which is written to the database first.
        if (pending_records_ > o_.max_queued)
            spill_oldest(o_.max_queued / 2);
        bool ok = write_pending();
        // Nothing may be lost on the way out either.
        if (stop && !ok)
            spill_oldest(0);
        if (ok && !stop)
            purge_expired();
        lock.lock();
        // Taken events are done: written, or held (in memory or the spill
        // file) until the database takes them. flush() tells which.
        done_ += taken;
        clean_ = ok && pending_.empty() && !spilled_;
        written_.notify_all();
        if (stop)
            return;
    }
}

void Archive::purge_expired()
{
    const auto now = std::chrono::steady_clock::now();
    if (o_.retention_days <= 0 || now < next_purge_)
        return;
    next_purge_ = now + std::chrono::minutes(1);
    const long before = static_cast<long>(std::time(nullptr)) - o_.retention_days * 86400;
    std::string error;
    long removed = store_->purge(before, 1000, error);
    if (removed < 0 && o_.events)
        o_.events->notice("archive-error", error);
    else if (removed == 1000)
        next_purge_ = now + kLinger; // more to go: the next batch soon, between writes
}

bool Archive::search(const ArchiveQuery &q, std::vector<ArchiveRecord> &out, std::string &error)
{
    std::lock_guard<std::mutex> g(reader_lock_);
    if (!reader_ && !(reader_ = make_archive_store(o_.spec, error)))
        return false;
    if (!reader_open_ && !(reader_open_ = reader_->open(error)))
        return false;
    if (reader_->search(q, out, error))
        return true;
    // The server may have restarted: one more try on a new connection.
    out.clear();
    reader_open_ = reader_->open(error) && reader_->search(q, out, error);
    return reader_open_;
}

bool Archive::verify(std::vector<ArchiveBreak> &breaks, long long &checked, std::string &error)
{
    auto reader = make_archive_store(o_.spec, error);
    if (!reader || !reader->open(error))
        return false;
    std::map<std::string, std::pair<long long, std::string>> anchors;
    if (!reader->anchors(anchors, error))
        return false;
    checked = 0;
    std::string conversation, prev;
    long long seq = 0;
    auto report = [&](const ArchiveRecord &r, const std::string &why) {
        breaks.push_back(ArchiveBreak{r.conversation, r.id, r.seq, why});
    };
    return reader->walk(
        [&](const ArchiveRecord &r) {
            ++checked;
            if (r.conversation != conversation) {
                conversation = r.conversation;
                auto a = anchors.find(conversation);
                if (r.seq == 1) {
                    seq = 0;
                    prev = kArchiveGenesis;
                } else if (a != anchors.end()) {
                    seq = a->second.first;
                    prev = a->second.second;
                } else {
                    seq = 0;
                    prev = kArchiveGenesis;
                }
            }
            if (r.seq != seq + 1)
                report(r, "record " + std::to_string(seq + 1) + " of the conversation is missing");
            else if (r.prev != prev)
                report(r, "it does not follow the record before it");
            else if (archive_hash(r.prev, r) != r.hash)
                report(r, "it was changed after it was written");
            seq = r.seq;
            prev = r.hash;
            return true;
        },
        error);
}

long Archive::purge(long before, int limit, std::string &error)
{
    auto writer = make_archive_store(o_.spec, error);
    if (!writer || !writer->open(error))
        return -1;
    return writer->purge(before, limit, error);
}

} // namespace gw
