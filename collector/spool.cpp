#include "collector/spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace lvcollect {
namespace {

// The second spool holds clients' hashes; the first, the first
// collector's, their addresses, and is rewritten with hashes when opened.
const char kMagic[] = "LVSPOOL2";
const char kFirstMagic[] = "LVSPOOL1";
constexpr std::size_t MAGIC_BYTES = 8;
// A record's length (4 bytes) and checksum (8) before its payload.
constexpr std::size_t RECORD_HEAD_BYTES = 12;
// A record longer than this is no record of ours: the queue's bound of
// reports, each of at most a request head's bytes.
constexpr std::uint32_t MAX_RECORD_BYTES = 1u << 30;
// Reports that one transaction of the drain carries at most: a spool of an
// outage goes in at the database's pace, far above the writer's.
constexpr std::uint64_t DRAIN_REPORTS = 20000;
// After the database refused a record, the drain waits this long.
constexpr std::chrono::seconds DRAIN_RETRY_PAUSE(1);

std::string Errno(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

// FNV-1a: enough to tell a record torn or overwritten by a crash.
std::uint64_t Checksum(const char* bytes, std::size_t size)
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

void PutUint(std::string* out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        *out += static_cast<char>((value >> (8 * i)) & 0xff);
}

void PutBytes(std::string* out, const std::string& bytes)
{
    PutUint(out, bytes.size(), 4);
    out->append(bytes);
}

// Reads what PutUint and PutBytes wrote; false past the end.
class Reader {
public:
    Reader(const char* bytes, std::size_t size) : at_(bytes), end_(bytes + size) {}

    bool Uint(std::uint64_t* value, int bytes)
    {
        if (end_ - at_ < bytes)
            return false;
        *value = 0;
        for (int i = 0; i < bytes; ++i)
            *value |= static_cast<std::uint64_t>(static_cast<unsigned char>(at_[i])) << (8 * i);
        at_ += bytes;
        return true;
    }

    bool Bytes(std::string* bytes)
    {
        std::uint64_t size = 0;
        if (!Uint(&size, 4) || static_cast<std::uint64_t>(end_ - at_) < size)
            return false;
        bytes->assign(at_, static_cast<std::size_t>(size));
        at_ += size;
        return true;
    }

    bool AtEnd() const { return at_ == end_; }

private:
    const char* at_;
    const char* end_;
};

std::string EncodeRecord(const std::vector<Received>& batch, const BatchName& name)
{
    std::string payload;
    PutBytes(&payload, name.source);
    PutUint(&payload, static_cast<std::uint64_t>(name.number), 8);
    PutUint(&payload, batch.size(), 4);
    for (const Received& received : batch) {
        PutUint(&payload, static_cast<std::uint64_t>(received.receivedMs), 8);
        PutBytes(&payload, received.client);   // the hash
        PutBytes(&payload, received.userAgent);
        PutBytes(&payload, received.query);
    }
    std::string record;
    PutUint(&record, payload.size(), 4);
    PutUint(&record, Checksum(payload.data(), payload.size()), 8);
    return record + payload;
}

bool DecodePayload(const std::string& payload, std::vector<Received>* batch, BatchName* name)
{
    Reader reader(payload.data(), payload.size());
    std::uint64_t number = 0, count = 0;
    if (!reader.Bytes(&name->source) || !reader.Uint(&number, 8) || !reader.Uint(&count, 4))
        return false;
    name->number = static_cast<std::int64_t>(number);
    name->triedBefore = true;   // it may have gone in before a crash
    batch->clear();
    for (std::uint64_t i = 0; i < count; ++i) {
        Received received;
        std::uint64_t ms = 0;
        if (!reader.Uint(&ms, 8) || !reader.Bytes(&received.client) ||
            !reader.Bytes(&received.userAgent) || !reader.Bytes(&received.query))
            return false;
        received.receivedMs = static_cast<std::int64_t>(ms);
        received.parsed = ParseReportQuery(received.query);
        batch->push_back(std::move(received));
    }
    return reader.AtEnd();
}

class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Makes a new file's name itself durable.
void SyncDirectoryOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    File dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd() >= 0)
        fsync(dir.fd());
}

class SpooledStore : public ReportStore {
public:
    SpooledStore(std::unique_ptr<ReportStore> database, std::string path, ClientHasher& hasher,
                 const std::string& away)
        : database_(std::move(database)), path_(std::move(path)), unreached_(!away.empty())
    {
        UpgradeFirstSpool(hasher);
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0)
            throw StoreError(Errno("cannot open the spool", path_));
        file_ = std::make_unique<File>(fd);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            throw StoreError(errno == EWOULDBLOCK
                                 ? path_ + " is the spool of another running collector; give each "
                                           "collector a --spool of its own"
                                 : Errno("cannot lock the spool", path_));
        Scan();
        if (unreached_) {
            // Answered from the spool from the first report on, until the
            // drainer reaches the database and has stored what came.
            spooling_ = true;
            refusedSince_ = true;
            std::fprintf(stderr, "lvcollect: waiting for PostgreSQL (%s); meanwhile what is answered is kept in "
                                 "the spool %s, and once the database is there its schema is checked and the "
                                 "spool stored\n", away.c_str(), path_.c_str());
        }
        drainer_ = std::thread([this] { Drain(); });
    }

    ~SpooledStore() override
    {
        Finish();
        if (drained_ == end_ && end_ == MAGIC_BYTES)
            unlink(path_.c_str());
    }

    void Append(const std::vector<Received>& batch, const BatchName& name) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (spooling_) {
                Write(batch, name);
                return;
            }
        }
        try {
            database_->Append(batch, name);
            return;
        } catch (const StoreError& error) {
            std::fprintf(stderr, "lvcollect: %s; keeping reports in the spool %s until the database is back\n",
                         error.what(), path_.c_str());
        }
        std::lock_guard<std::mutex> lock(mutex_);
        Write(batch, name);
        spooling_ = true;
        refusedSince_ = true;
        changed_.notify_all();
    }

    std::string Refusal() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return refusal_;
    }

    Summaries ReadSummaries(const Period& period) override { return database_->ReadSummaries(period); }
    std::vector<StoredReport> Latest(std::size_t count) override { return database_->Latest(count); }
    // The writer's upkeep: only while nothing is spooled, when the drainer
    // leaves the database's connection alone (and only the writer's own
    // Append could start spooling again).
    std::map<std::int64_t, DayKey> DayKeys(std::int64_t firstDay, std::int64_t lastDay) override
    {
        WhileNotSpooling();
        return database_->DayKeys(firstDay, lastDay);
    }
    void ForgetDayKeys(std::int64_t day) override
    {
        WhileNotSpooling();
        database_->ForgetDayKeys(day);
    }
    bool ExpireStep(std::int64_t day) override
    {
        WhileNotSpooling();
        return database_->ExpireStep(day);
    }
    std::uint64_t ReportsBefore(std::int64_t day) override
    {
        WhileNotSpooling();
        return database_->ReportsBefore(day);
    }

    std::uint64_t WaitingInSpool() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_;
    }

    std::uint64_t Finish() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
        if (drainer_.joinable())
            drainer_.join();
        return WaitingInSpool();
    }

private:
    void WhileNotSpooling()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spooling_)
            throw StoreError("the database is away: the spool " + path_ + " is stored first");
    }

    // A spool of the first collector, whose records hold addresses: its
    // whole records are written anew with the clients hashed (each under
    // its day's key: the fleet's where this collector holds it), into a
    // file that then takes its place; the old file is removed with them.
    void UpgradeFirstSpool(ClientHasher& hasher)
    {
        File old(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (old.fd() < 0)
            return;   // none yet
        char magic[MAGIC_BYTES];
        if (pread(old.fd(), magic, MAGIC_BYTES, 0) != static_cast<ssize_t>(MAGIC_BYTES) ||
            std::memcmp(magic, kFirstMagic, MAGIC_BYTES) != 0)
            return;
        struct stat status = {};
        if (fstat(old.fd(), &status) != 0)
            throw StoreError(Errno("cannot read the spool", path_));
        std::string upgraded(kMagic, MAGIC_BYTES);
        std::uint64_t offset = MAGIC_BYTES, reports = 0;
        for (;;) {
            std::string head, payload;
            std::vector<Received> batch;
            BatchName name;
            std::uint64_t size = 0, checksum = 0;
            if (static_cast<std::uint64_t>(status.st_size) - offset < RECORD_HEAD_BYTES)
                break;
            head.resize(RECORD_HEAD_BYTES);
            if (pread(old.fd(), &head[0], RECORD_HEAD_BYTES, static_cast<off_t>(offset)) !=
                static_cast<ssize_t>(RECORD_HEAD_BYTES))
                break;
            Reader reader(head.data(), head.size());
            reader.Uint(&size, 4);
            reader.Uint(&checksum, 8);
            if (size > MAX_RECORD_BYTES ||
                static_cast<std::uint64_t>(status.st_size) - offset - RECORD_HEAD_BYTES < size)
                break;
            payload.resize(static_cast<std::size_t>(size));
            if (pread(old.fd(), &payload[0], payload.size(), static_cast<off_t>(offset + RECORD_HEAD_BYTES)) !=
                    static_cast<ssize_t>(payload.size()) ||
                Checksum(payload.data(), payload.size()) != checksum || !DecodePayload(payload, &batch, &name))
                break;   // cut short by a crash: never answered
            for (Received& received : batch)
                received.client = hasher.Hash(received.client, received.receivedMs);
            upgraded += EncodeRecord(batch, name);
            reports += batch.size();
            offset += RECORD_HEAD_BYTES + size;
        }
        std::string temporary = path_ + ".upgrading";
        {
            File fresh(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            if (fresh.fd() < 0)
                throw StoreError(Errno("cannot upgrade the spool", temporary));
            std::size_t done = 0;
            while (done < upgraded.size()) {
                ssize_t wrote = write(fresh.fd(), upgraded.data() + done, upgraded.size() - done);
                if (wrote < 0 && errno == EINTR)
                    continue;
                if (wrote <= 0)
                    throw StoreError(Errno("cannot upgrade the spool", temporary));
                done += static_cast<std::size_t>(wrote);
            }
            if (fdatasync(fresh.fd()) != 0)
                throw StoreError(Errno("cannot upgrade the spool", temporary));
        }
        if (rename(temporary.c_str(), path_.c_str()) != 0)
            throw StoreError(Errno("cannot upgrade the spool", path_));
        SyncDirectoryOf(path_);
        std::fprintf(stderr, "lvcollect: the spool %s of an earlier lvcollect: its %llu reports now hold "
                             "their clients' hashes, not their addresses\n",
                     path_.c_str(), static_cast<unsigned long long>(reports));
    }

    // Checks the records of a spool left by an earlier run; drops a torn
    // one at the end.
    void Scan()
    {
        struct stat status = {};
        if (fstat(file_->fd(), &status) != 0)
            throw StoreError(Errno("cannot read the spool", path_));
        std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
        if (size == 0) {
            WriteAll(std::string(kMagic, MAGIC_BYTES));
            SyncDirectoryOf(path_);
            drained_ = end_ = MAGIC_BYTES;
            return;
        }
        std::string magic;
        if (size < MAGIC_BYTES || !ReadAt(0, MAGIC_BYTES, &magic) || magic != std::string(kMagic, MAGIC_BYTES))
            throw StoreError(path_ + " is not a spool of lvcollect");
        std::uint64_t offset = MAGIC_BYTES;
        std::vector<Received> batch;
        BatchName name;
        for (;;) {
            std::uint64_t length = 0;
            std::string payload;
            if (!ReadRecord(offset, size, &payload, &length) || !DecodePayload(payload, &batch, &name))
                break;
            waiting_ += batch.size();
            offset += length;
        }
        if (offset < size) {
            std::fprintf(stderr, "lvcollect: the spool %s ends in a batch cut short, which was never "
                                 "answered: dropped\n", path_.c_str());
            if (ftruncate(file_->fd(), static_cast<off_t>(offset)) != 0 || fdatasync(file_->fd()) != 0)
                throw StoreError(Errno("cannot mend the spool", path_));
        }
        drained_ = MAGIC_BYTES;
        end_ = offset;
        spooling_ = end_ > MAGIC_BYTES;
        if (spooling_)
            std::fprintf(stderr, "lvcollect: the spool %s holds %llu reports of an earlier run: storing "
                                 "them first\n", path_.c_str(), static_cast<unsigned long long>(waiting_));
    }

    bool ReadAt(std::uint64_t offset, std::size_t size, std::string* bytes)
    {
        bytes->resize(size);
        std::size_t done = 0;
        while (done < size) {
            ssize_t got = pread(file_->fd(), &(*bytes)[done], size - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    // The record at `offset`, whole and unharmed, before `end`.
    bool ReadRecord(std::uint64_t offset, std::uint64_t end, std::string* payload, std::uint64_t* length)
    {
        std::string head;
        if (end - offset < RECORD_HEAD_BYTES || !ReadAt(offset, RECORD_HEAD_BYTES, &head))
            return false;
        Reader reader(head.data(), head.size());
        std::uint64_t size = 0, checksum = 0;
        reader.Uint(&size, 4);
        reader.Uint(&checksum, 8);
        if (size > MAX_RECORD_BYTES || end - offset - RECORD_HEAD_BYTES < size ||
            !ReadAt(offset + RECORD_HEAD_BYTES, static_cast<std::size_t>(size), payload) ||
            Checksum(payload->data(), payload->size()) != checksum)
            return false;
        *length = RECORD_HEAD_BYTES + size;
        return true;
    }

    void WriteAll(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t wrote = write(file_->fd(), bytes.data() + done, bytes.size() - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                throw StoreError(Errno("cannot write the spool", path_));
            done += static_cast<std::size_t>(wrote);
        }
        if (fdatasync(file_->fd()) != 0)
            throw StoreError(Errno("cannot flush the spool", path_));
    }

    // Under mutex_. A record written in part (a full disk) is cut off again,
    // so the next one follows the last whole one.
    void Write(const std::vector<Received>& batch, const BatchName& name)
    {
        try {
            WriteAll(EncodeRecord(batch, name));
        } catch (const StoreError&) {
            if (ftruncate(file_->fd(), static_cast<off_t>(end_)) != 0)
                std::fprintf(stderr, "lvcollect: %s\n", Errno("cannot mend the spool", path_).c_str());
            throw;
        }
        struct stat status = {};
        end_ = fstat(file_->fd(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : end_;
        waiting_ += batch.size();
        changed_.notify_all();
    }

    // The drainer's thread: while the spool holds records, stores them in
    // the database one by one, in order; once the last has committed, the
    // file is emptied and batches go to the database again. A database not
    // reached since the start is first reached (its schema checked, or
    // upgraded) even while nothing waits. At the finish it stores what it
    // can, until the database first refuses. A database that this collector
    // can never write ends the drain for good (Refusal).
    void Drain()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return finished_ || (spooling_ && (drained_ < end_ || unreached_)); });
            bool emptied = drained_ == end_;
            if (!spooling_ || (emptied && (finished_ || !unreached_)))
                return;   // finished, and nothing left to store
            std::uint64_t offset = drained_, end = end_;
            lock.unlock();
            // As many records as DRAIN_REPORTS allows, in one transaction.
            std::vector<std::vector<Received>> batches;
            std::vector<NamedBatch> named;
            std::uint64_t next = offset, reports = 0;
            std::string refusal;
            while (next < end && reports < DRAIN_REPORTS) {
                std::string payload;
                std::uint64_t length = 0;
                std::vector<Received> batch;
                BatchName name;
                if (!ReadRecord(next, end, &payload, &length) || !DecodePayload(payload, &batch, &name)) {
                    refusal = "a record cannot be read back";
                    break;
                }
                next += length;
                reports += batch.size();
                batches.push_back(std::move(batch));
                named.push_back(NamedBatch{nullptr, name});
            }
            for (std::size_t i = 0; i < named.size(); ++i)
                named[i].reports = &batches[i];
            bool stored = false;
            if (refusal.empty()) {
                try {
                    database_->Reach();
                    if (!named.empty())
                        database_->AppendSeveral(named);
                    stored = true;
                } catch (const StoreRefused& error) {
                    lock.lock();
                    refusal_ = error.what();
                    return;   // the spool keeps what it holds, for a collector that can store it
                } catch (const StoreError& error) {
                    refusal = error.what();
                }
            }
            lock.lock();
            if (!stored) {
                // Said once, not every second of an outage.
                if (!refusedSince_)
                    std::fprintf(stderr, "lvcollect: %s; the spool %s keeps its reports\n", refusal.c_str(),
                                 path_.c_str());
                refusedSince_ = true;
                if (finished_)
                    return;   // the rest waits for the next start
                changed_.wait_for(lock, DRAIN_RETRY_PAUSE, [this] { return finished_; });
                continue;
            }
            if (refusedSince_) {
                std::fprintf(stderr, "lvcollect: %s; storing the spool %s\n",
                             unreached_ ? "PostgreSQL is there and its schema checked" : "the database is back",
                             path_.c_str());
                refusedSince_ = false;
            }
            unreached_ = false;
            drained_ = next;
            waiting_ -= reports;
            if (drained_ == end_)
                Empty();
        }
    }

    // Under mutex_, with every record stored.
    void Empty()
    {
        if (ftruncate(file_->fd(), static_cast<off_t>(MAGIC_BYTES)) != 0 || fdatasync(file_->fd()) != 0) {
            // Stored, but kept on: a later start finds the records stored.
            std::fprintf(stderr, "lvcollect: %s\n", Errno("cannot empty the spool", path_).c_str());
            return;
        }
        drained_ = end_ = MAGIC_BYTES;
        spooling_ = false;
    }

    std::unique_ptr<ReportStore> database_;
    const std::string path_;
    std::unique_ptr<File> file_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool spooling_ = false;      // batches go to the spool, behind its records
    bool finished_ = false;
    bool refusedSince_ = false;  // the database refused since it last took a record
    bool unreached_;             // not reached since the start: its schema is unchecked
    std::string refusal_;        // the database can never be written (StoreRefused)
    std::uint64_t drained_ = 0;  // records before this offset are in the database
    std::uint64_t end_ = 0;      // of the last whole record
    std::uint64_t waiting_ = 0;  // reports in records not yet drained
    std::thread drainer_;        // last: it starts once the rest is set
};

}  // namespace

std::unique_ptr<ReportStore> WithSpool(std::unique_ptr<ReportStore> database, const std::string& path,
                                       ClientHasher& hasher, const std::string& away)
{
    return std::make_unique<SpooledStore>(std::move(database), path, hasher, away);
}

}  // namespace lvcollect
