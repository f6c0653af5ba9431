#include "collector/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace lvcollect {
namespace {

using Clock = std::chrono::steady_clock;

// What one request may cost. A report request is a line of at most about
// 1,100 bytes and two short headers, sent at once.
constexpr std::size_t MAX_REQUEST_HEAD_BYTES = 8192;          // request line and headers
constexpr Clock::duration REQUEST_TIME_LIMIT = std::chrono::seconds(5);   // first to last byte
constexpr Clock::duration KEEP_ALIVE_IDLE_LIMIT = std::chrono::seconds(5);  // between requests
constexpr Clock::duration ANSWER_TIME_LIMIT = std::chrono::seconds(5);
constexpr std::size_t MAX_REQUESTS_PER_CONNECTION = 1000;
constexpr std::size_t MAX_BODY_BYTES = 1024;   // reports have none
// Connections served at once; further ones wait for a free thread.
constexpr std::size_t CONNECTION_THREADS = 32;
// Reports answered but not yet stored (about 1.3 KB each). At the limit the
// store has stalled for seconds of full load: further reports get 503.
constexpr std::size_t MAX_QUEUED_REPORTS = 200000;
constexpr Clock::duration STORE_RETRY_PAUSE = std::chrono::seconds(1);
// The writer stores at most this often, so that under load a transaction
// carries hundreds of reports instead of a few.
constexpr Clock::duration STORE_INTERVAL = std::chrono::milliseconds(20);
constexpr int STORE_ATTEMPTS_AT_EXIT = 5;
// A batch that grew past this many reports (the store stalled for a
// moment) gives its memory back once stored.
constexpr std::size_t KEPT_BATCH_CAPACITY = 4096;
constexpr std::size_t RECEIVE_BUFFER_BYTES = 4096;
// The socket's receive time-out: the limits above are all this long.
constexpr Clock::duration RECEIVE_TIMEOUT = std::chrono::seconds(5);
constexpr Clock::duration TIMER_SLACK = std::chrono::milliseconds(50);
static_assert(REQUEST_TIME_LIMIT == RECEIVE_TIMEOUT && KEEP_ALIVE_IDLE_LIMIT == RECEIVE_TIMEOUT,
              "a blocking receive waits for one whole limit");
constexpr long SIGNAL_POLL_NS = 200 * 1000 * 1000;

// A client address taken from a header is cut to this many bytes.
constexpr std::size_t MAX_CLIENT_BYTES = 64;

const char kTextPlain[] = "text/plain";

// Whether the request that this connection's thread is serving reached the
// handler; when it did not, the library has refused it as malformed HTTP.
thread_local bool t_requestHandled = false;

struct Counters {
    std::atomic<std::uint64_t> reports{0};
    std::atomic<std::uint64_t> malformed{0};
    std::atomic<std::uint64_t> notReports{0};   // other paths and methods
    std::atomic<std::uint64_t> busy{0};         // refused: the queue was full
    std::atomic<std::uint64_t> cutOff{0};       // too long, too slow or half sent
    std::atomic<std::uint64_t> lost{0};         // answered, but the store refused them
};

class ReportQueue {
public:
    bool Push(Received&& received)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.size() >= MAX_QUEUED_REPORTS)
                return false;
            pending_.push_back(std::move(received));
            longest_ = std::max(longest_, pending_.size());
        }
        ready_.notify_one();
        return true;
    }

    // Moves every queued report to the end of *batch, when `wait` after
    // waiting for one; false once the queue is closed and empty.
    bool Take(std::vector<Received>* batch, bool wait)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wait)
            ready_.wait(lock, [this] { return !pending_.empty() || closed_; });
        if (pending_.empty())
            return !closed_;
        if (batch->empty()) {
            batch->swap(pending_);
        } else {
            std::move(pending_.begin(), pending_.end(), std::back_inserter(*batch));
            pending_.clear();
        }
        return true;
    }

    // The most reports that were ever waiting to be stored at once.
    std::size_t Longest()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return longest_;
    }

    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Received> pending_;
    std::size_t longest_ = 0;
    bool closed_ = false;
};

int MillisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

bool WaitFor(int sock, short events, Clock::time_point deadline)
{
    pollfd descriptor = {sock, events, 0};
    for (;;) {
        int ready = poll(&descriptor, 1, MillisecondsUntil(deadline));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

std::string Address(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    return text;
}

int Port(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

// The bytes of one connection as the HTTP library reads them, within the
// limits of one request: MAX_REQUEST_HEAD_BYTES and REQUEST_TIME_LIMIT. At
// either limit a read fails, and the library gives the request up.
//
// NB: the library refuses a request target with a second "?" (400), yet a
// report's download URL may hold one (an object path such as
// "get.php?file=setup.exe"). So in the query part of the request line
// every "?" passes as "%3F" and every "%" as "%25"; RestoreTarget undoes
// exactly that.
class BoundedStream : public httplib::Stream {
public:
    explicit BoundedStream(int sock) : sock_(sock) {}

    // False when the peer closed, or sent nothing within the limit.
    bool WaitForRequest(Clock::duration limit)
    {
        return start_ < end_ || Fill(Clock::now() + limit);
    }

    void BeginRequest()
    {
        deadline_ = Clock::now() + REQUEST_TIME_LIMIT;
        headBytes_ = 0;
        lineBlanks_ = 0;
        inRequestLine_ = true;
        inQuery_ = false;
        limitReached_ = false;
        ended_ = false;
    }

    // Whether the request ended part-way: at a limit or by the peer.
    bool CutOff() const { return limitReached_ || (ended_ && headBytes_ > 0); }

    bool is_readable() const override
    {
        return pendingAt_ < pending_.size() || start_ < end_ || WaitFor(sock_, POLLIN, deadline_);
    }

    // Writes are gathered and sent whole by Flush, so an answer is one
    // segment; the time limit applies there.
    bool is_writable() const override { return true; }

    ssize_t read(char* ptr, size_t size) override
    {
        if (pendingAt_ == pending_.size()) {
            if (start_ == end_ && !Fill(deadline_))
                return -1;
            if (!Take())
                return -1;
        }
        std::size_t count = std::min(size, pending_.size() - pendingAt_);
        std::memcpy(ptr, pending_.data() + pendingAt_, count);
        pendingAt_ += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        // A request that did not arrive whole gets no answer.
        if (CutOff())
            return -1;
        answer_.append(ptr, size);
        return static_cast<ssize_t>(size);
    }

    // Sends the answer gathered since the last call; false when the peer
    // does not take it within ANSWER_TIME_LIMIT.
    bool Flush()
    {
        Clock::time_point deadline = Clock::now() + ANSWER_TIME_LIMIT;
        std::size_t sent = 0;
        while (sent < answer_.size()) {
            ssize_t n = send(sock_, answer_.data() + sent, answer_.size() - sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            else if (n < 0 && errno != EINTR && !WaitFor(sock_, POLLOUT, deadline))
                return false;
        }
        answer_.clear();
        return true;
    }

    // Asked for every request; asked of the system once per connection.
    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        if (remotePort_ < 0) {
            sockaddr_storage address = {};
            socklen_t length = sizeof address;
            if (getpeername(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
                remoteIp_ = Address(address);
                remotePort_ = Port(address);
            }
        }
        ip = remoteIp_;
        port = remotePort_;
    }

    // Nothing here uses the local address: not asked for.
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        ip.clear();
        port = -1;
    }

    socket_t socket() const override { return sock_; }

private:
    // With a whole limit ahead, a blocking receive under the socket's own
    // time-out (SO_RCVTIMEO, set to the limit) waits in one system call;
    // with less, poll() keeps the deadline.
    bool Fill(Clock::time_point deadline)
    {
        for (;;) {
            bool wholeLimit = deadline - Clock::now() >= RECEIVE_TIMEOUT - TIMER_SLACK;
            if (!wholeLimit && !WaitFor(sock_, POLLIN, deadline)) {
                limitReached_ = true;
                return false;
            }
            ssize_t n = recv(sock_, buffer_, sizeof buffer_, 0);
            if (n > 0) {
                start_ = 0;
                end_ = static_cast<std::size_t>(n);
                return true;
            }
            if (n < 0 && wholeLimit && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                limitReached_ = true;
                return false;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                ended_ = true;
                return false;
            }
        }
    }

    // Moves the received bytes up to the next line's end (the library reads
    // line by line) into the pending output, escaping the request target's
    // query part as described above. Bytes of a next request stay unread.
    bool Take()
    {
        const char* from = buffer_ + start_;
        const void* newline = std::memchr(from, '\n', end_ - start_);
        std::size_t count = newline ? static_cast<const char*>(newline) - from + 1 : end_ - start_;
        if (headBytes_ + count > MAX_REQUEST_HEAD_BYTES) {
            limitReached_ = true;
            return false;
        }
        pending_.clear();
        pendingAt_ = 0;
        if (!inRequestLine_) {
            pending_.assign(from, count);
        } else {
            // Copied in runs between the bytes that matter to the line.
            std::size_t run = 0;
            for (std::size_t i = 0; i < count; ++i) {
                char c = from[i];
                if (c != ' ' && c != '?' && c != '%' && c != '\n')
                    continue;
                pending_.append(from + run, i - run);
                run = i + 1;
                if (lineBlanks_ == 1 && inQuery_ && (c == '?' || c == '%')) {
                    pending_ += c == '?' ? "%3F" : "%25";
                    continue;
                }
                pending_ += c;
                if (c == ' ')
                    ++lineBlanks_;
                else if (c == '?' && lineBlanks_ == 1)
                    inQuery_ = true;
                else if (c == '\n')
                    inRequestLine_ = false;
            }
            pending_.append(from + run, count - run);
        }
        start_ += count;
        headBytes_ += count;
        return true;
    }

    int sock_;
    char buffer_[RECEIVE_BUFFER_BYTES];
    std::size_t start_ = 0, end_ = 0;
    std::string pending_;
    std::size_t pendingAt_ = 0;
    std::string answer_;
    mutable std::string remoteIp_;
    mutable int remotePort_ = -1;
    Clock::time_point deadline_ = Clock::now() + REQUEST_TIME_LIMIT;
    std::size_t headBytes_ = 0;
    int lineBlanks_ = 0;
    bool inRequestLine_ = true;
    bool inQuery_ = false;
    bool limitReached_ = false;
    bool ended_ = false;
};

// The target as the client sent it: see BoundedStream.
std::string RestoreTarget(const std::string& target)
{
    std::size_t at = target.find('?');
    if (at == std::string::npos)
        return target;
    std::string restored(target, 0, ++at);
    restored.reserve(target.size());
    // After the "?", every "%" starts the "%3F" or "%25" that BoundedStream wrote.
    for (std::size_t escape; (escape = target.find('%', at)) != std::string::npos; at = escape + 3) {
        restored.append(target, at, escape - at);
        restored += target.compare(escape, 3, "%3F") == 0 ? '?' : '%';
    }
    if (at < target.size())
        restored.append(target, at, std::string::npos);
    return restored;
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The client that a reverse proxy names in `header`: the last entry of a
// list such as "203.0.113.7, 10.0.0.2", which the nearest proxy appended.
std::string ClientOf(const httplib::Request& request, const std::string& header)
{
    if (header.empty() || !request.has_header(header))
        return request.remote_addr;
    std::string value = request.get_header_value(header);
    std::size_t comma = value.rfind(',');
    std::string last = comma == std::string::npos ? value : value.substr(comma + 1);
    std::size_t first = last.find_first_not_of(' ');
    std::size_t end = last.find_last_not_of(' ');
    if (first == std::string::npos)
        return request.remote_addr;
    return last.substr(first, std::min(end + 1 - first, MAX_CLIENT_BYTES));
}

class CollectorServer : public httplib::Server {
public:
    CollectorServer(ReportQueue& queue, Counters& counters, std::string clientHeader)
        : queue_(queue), counters_(counters), clientHeader_(std::move(clientHeader))
    {
        new_task_queue = [] { return new httplib::ThreadPool(CONNECTION_THREADS); };
        // Answers go out at once, not after the peer's delayed acknowledgement.
        set_tcp_nodelay(true);
        // The library sets it on every accepted socket; Fill relies on it.
        set_read_timeout(std::chrono::duration_cast<std::chrono::seconds>(RECEIVE_TIMEOUT).count());
        // A restart must not wait for the last connections' TIME_WAIT; no
        // SO_REUSEPORT, so that a second collector on the port fails to start.
        set_socket_options([](socket_t sock) {
            int on = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        });
        set_payload_max_length(MAX_BODY_BYTES);
        // What the answers' Keep-Alive header announces; enforced below.
        set_keep_alive_max_count(MAX_REQUESTS_PER_CONNECTION);
        set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(KEEP_ALIVE_IDLE_LIMIT).count());
        set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
            Answer(request, response);
            return HandlerResponse::Handled;
        });
    }

private:
    void Answer(const httplib::Request& request, httplib::Response& response)
    {
        t_requestHandled = true;
        std::string target = RestoreTarget(request.target);
        std::string_view query;
        if (request.method != "GET" || !ReportQueryOfTarget(target, &query)) {
            ++counters_.notReports;
            response.status = request.method != "GET" ? 405 : 404;
            response.set_content("not a report\n", kTextPlain);
            return;
        }
        Received received;
        received.receivedMs = NowMs();
        received.client = ClientOf(request, clientHeader_);
        received.userAgent = request.get_header_value("User-Agent");
        received.query.assign(query);
        received.parsed = ParseReportQuery(query);
        bool valid = received.parsed.valid;
        std::string reason = valid ? std::string() : received.parsed.reason;
        if (!queue_.Push(std::move(received))) {
            ++counters_.busy;
            response.status = 503;
            response.set_content("busy\n", kTextPlain);
            return;
        }
        if (valid) {
            ++counters_.reports;
            response.set_content("ok\n", kTextPlain);
        } else {
            ++counters_.malformed;
            response.status = 400;
            response.set_content("kept as malformed: " + reason + "\n", kTextPlain);
        }
    }

    // One connection: its requests one after another, each within its limits.
    bool process_and_close_socket(socket_t sock) override
    {
        // TCP_NODELAY comes from the listening socket, SO_RCVTIMEO from the
        // library (set_read_timeout): no system calls of our own here.
        BoundedStream stream(sock);
        for (std::size_t count = 0; count < MAX_REQUESTS_PER_CONNECTION; ++count) {
            if (!stream.WaitForRequest(count == 0 ? REQUEST_TIME_LIMIT : KEEP_ALIVE_IDLE_LIMIT))
                break;
            stream.BeginRequest();
            t_requestHandled = false;
            bool closeConnection = count + 1 == MAX_REQUESTS_PER_CONNECTION;
            bool connectionClosed = false;
            bool answered = process_request(stream, closeConnection, connectionClosed, {}) &&
                            stream.Flush();
            if (stream.CutOff())
                ++counters_.cutOff;
            // After bytes that are not HTTP, the rest is not worth reading.
            if (!answered || connectionClosed || stream.CutOff() || !t_requestHandled)
                break;
        }
        close(sock);
        return true;
    }

    ReportQueue& queue_;
    Counters& counters_;
    const std::string clientHeader_;
};

void StoreLoop(ReportQueue& queue, ReportStore& store, Counters& counters,
               const std::atomic<bool>& stopping)
{
    std::vector<Received> batch;
    Clock::time_point lastStore = Clock::now() - STORE_INTERVAL;
    while (queue.Take(&batch, true)) {
        if (!stopping) {
            // Let more reports gather; they are answered meanwhile.
            std::this_thread::sleep_until(lastStore + STORE_INTERVAL);
            queue.Take(&batch, false);
        }
        lastStore = Clock::now();
        for (int attempt = 1;; ++attempt) {
            try {
                store.Append(batch);
                break;
            } catch (const StoreError& error) {
                std::fprintf(stderr, "lvcollect: %s\n", error.what());
                if (stopping && attempt >= STORE_ATTEMPTS_AT_EXIT) {
                    counters.lost += batch.size();
                    std::fprintf(stderr, "lvcollect: %zu reports could not be stored\n", batch.size());
                    break;
                }
                std::this_thread::sleep_for(STORE_RETRY_PAUSE);
            }
        }
        if (batch.capacity() > KEPT_BATCH_CAPACITY)
            std::vector<Received>().swap(batch);
        else
            batch.clear();
    }
}

}  // namespace

int Serve(const ServeOptions& options, ReportStore& store)
{
    // The signals are taken by one thread below; every thread started from
    // here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ReportQueue queue;
    Counters counters;
    CollectorServer server(queue, counters, options.clientHeader);
    int port = options.port;
    if (port == 0)
        port = server.bind_to_any_port(options.host);
    else if (!server.bind_to_port(options.host, port))
        port = -1;
    if (port < 0) {
        std::fprintf(stderr, "lvcollect: cannot listen on %s:%d: %s\n", options.host.c_str(),
                     options.port, std::strerror(errno));
        return 1;
    }
    std::printf("lvcollect: listening on %s:%d\n", options.host.c_str(), port);
    std::fflush(stdout);

    std::atomic<bool> stopping{false};
    std::thread writer(StoreLoop, std::ref(queue), std::ref(store), std::ref(counters),
                       std::cref(stopping));
    std::thread signalWaiter([&] {
        const timespec pause = {0, SIGNAL_POLL_NS};
        while (!stopping) {
            if (sigtimedwait(&stopSignals, nullptr, &pause) > 0) {
                server.stop();
                return;
            }
        }
    });
    // Returns once stopped, after every connection thread has finished.
    server.listen_after_bind();
    stopping = true;
    signalWaiter.join();
    queue.Close();
    writer.join();

    std::printf("lvcollect: answered %llu reports and %llu malformed queries, %s; answered %llu "
                "other requests, refused %llu as busy; cut off %llu requests (too long, too slow "
                "or half sent); at most %zu reports waited to be stored\n",
                static_cast<unsigned long long>(counters.reports.load()),
                static_cast<unsigned long long>(counters.malformed.load()),
                counters.lost == 0 ? "all stored"
                                   : (std::to_string(counters.lost.load()) + " not stored").c_str(),
                static_cast<unsigned long long>(counters.notReports.load()),
                static_cast<unsigned long long>(counters.busy.load()),
                static_cast<unsigned long long>(counters.cutOff.load()), queue.Longest());
    return counters.lost == 0 ? 0 : 1;
}

}  // namespace lvcollect
