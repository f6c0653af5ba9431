#include "collector/server.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "collector/dashboard_service.h"
#include "collector/metrics.h"
#include "collector/report_queue.h"
#include "collector/service_notify.h"

namespace lvcollect {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// What one connection may cost. A report request is a line of at most about
// 1,100 bytes and two short headers, sent at once.
constexpr std::size_t MAX_REQUEST_HEAD_BYTES = 8192;   // request line and headers
constexpr std::size_t MAX_BODY_BYTES = 1024;           // reports have none
constexpr std::size_t MAX_REQUESTS_PER_CONNECTION = 1000;
// The time limits, each a deadline that the loop's deadline timer keeps
// (Loop::CheckDeadlines): a connection past its deadline is closed.
constexpr Clock::duration IDLE_TIME_LIMIT = std::chrono::seconds(5);      // to a request's first byte
constexpr Clock::duration REQUEST_TIME_LIMIT = std::chrono::seconds(5);   // its first to its last byte
constexpr Clock::duration ANSWER_TIME_LIMIT = std::chrono::seconds(5);    // for the peer to take the answer
// For the store to commit a report before it is answered: a store that
// stalls longer has the connection closed unanswered, so that a proxy in
// front may send the report to another collector.
constexpr Clock::duration STORE_TIME_LIMIT = std::chrono::seconds(30);
// For the dashboard to read the store's summaries: tens of milliseconds,
// unless the database stalls.
constexpr Clock::duration DASHBOARD_TIME_LIMIT = std::chrono::seconds(60);
// How often the deadline timer looks: a limit is kept to within this.
constexpr Clock::duration DEADLINE_CHECK_INTERVAL = std::chrono::milliseconds(100);
// Event loops, one a thread: one for each processor, up to this many.
constexpr unsigned MAX_LOOPS = 16;
// The reads of a request; the buffer grows up to the limits above.
constexpr std::size_t READ_BYTES = 2048;
// The monitoring listener is for a few scrapers.
constexpr std::size_t MAX_ADMIN_CONNECTIONS = 64;
// Out of descriptors, accepting pauses this long instead of spinning.
constexpr Clock::duration ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(100);
// Descriptors beyond the connections: listeners, the store, the loop's own.
constexpr rlim_t RESERVED_DESCRIPTORS = 64;

// A client address taken from a header is cut to this many bytes.
constexpr std::size_t MAX_CLIENT_BYTES = 64;

const char kTextPlain[] = "text/plain";
const char kTextHtml[] = "text/html; charset=utf-8";
const char kJson[] = "application/json";
// An HTTP date in the past: already expired.
const char kLongAgo[] = "Thu, 01 Jan 1970 00:00:00 GMT";

struct Answer {
    http::status status = http::status::ok;
    const char* contentType = kTextPlain;
    std::string body;
};

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string_view View(beast::string_view text)
{
    return std::string_view(text.data(), text.size());
}

// The client that a reverse proxy names in `header`: the last entry of a
// list such as "203.0.113.7, 10.0.0.2", which the nearest proxy appended.
std::string ClientOf(const Request& request, const std::string& header, const std::string& peer)
{
    if (header.empty())
        return peer;
    auto field = request.find(beast::string_view(header.data(), header.size()));
    if (field == request.end())
        return peer;
    std::string_view value = View(field->value());
    std::size_t comma = value.rfind(',');
    std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
    std::size_t first = last.find_first_not_of(' ');
    std::size_t end = last.find_last_not_of(' ');
    if (first == std::string_view::npos)
        return peer;
    return std::string(last.substr(first, std::min(end + 1 - first, MAX_CLIENT_BYTES)));
}

class Front;
class Loop;

// One listening socket of a loop, and which pages it serves.
struct Listener {
    Listener(asio::io_context& io, bool reports) : acceptor(io), retry(io), reports(reports) {}
    tcp::acceptor acceptor;
    tcp::endpoint peer;          // of the connection being accepted
    asio::steady_timer retry;    // ACCEPT_RETRY_PAUSE
    const bool reports;          // the report port; else the admin listener
};

// Where a connection stands, and so which time limit runs for it.
enum class State {
    Idle,        // IDLE_TIME_LIMIT: waiting for a request's first byte
    Reading,     // REQUEST_TIME_LIMIT: the request's first byte has come
    Storing,     // STORE_TIME_LIMIT: a report waits for its commit
    Answering,   // ANSWER_TIME_LIMIT: from the whole request to the answer taken
    Preparing,   // DASHBOARD_TIME_LIMIT: a dashboard request waits for the store's read
    Closed,      // no limit: the socket is closed, the last operation ending
};
constexpr std::size_t STATES = 6;
constexpr State kOpenStates[] = {State::Idle, State::Reading, State::Storing, State::Answering,
                                 State::Preparing};

Clock::duration TimeLimit(State state)
{
    switch (state) {
    case State::Idle: return IDLE_TIME_LIMIT;
    case State::Reading: return REQUEST_TIME_LIMIT;
    case State::Storing: return STORE_TIME_LIMIT;
    case State::Answering: return ANSWER_TIME_LIMIT;
    case State::Preparing: return DASHBOARD_TIME_LIMIT;
    case State::Closed: break;
    }
    return Clock::duration::max();
}

// The dashboard's documents on the admin listener.
enum class DashboardDocument { None, Page, Json, BadPeriod };

// "from=YYYY-MM-DD" and "to=YYYY-MM-DD", each at most once, in any order.
bool ParsePeriodQuery(std::string_view query, Period* period)
{
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos)
            return false;
        std::string_view name = pair.substr(0, equals);
        std::int64_t day = 0;
        if (!ParseDay(std::string(pair.substr(equals + 1)), &day))
            return false;
        if (name == "from" && !period->hasFrom) {
            period->hasFrom = true;
            period->fromDay = day;
        } else if (name == "to" && !period->hasTo) {
            period->hasTo = true;
            period->toDay = day;
        } else {
            return false;
        }
    }
    return !(period->hasFrom && period->hasTo && period->fromDay > period->toDay);
}

DashboardDocument DashboardDocumentOf(const Request& request, Period* period)
{
    std::string_view target = View(request.target());
    std::size_t mark = target.find('?');
    std::string_view path = target.substr(0, mark);
    DashboardDocument document = path == "/"               ? DashboardDocument::Page
                                 : path == "/summary.json" ? DashboardDocument::Json
                                                           : DashboardDocument::None;
    if (document != DashboardDocument::None && mark != std::string_view::npos &&
        !ParsePeriodQuery(target.substr(mark + 1), period))
        return DashboardDocument::BadPeriod;
    return document;
}

Answer DashboardAnswer(const DashboardDocuments& documents, DashboardDocument document)
{
    if (!documents.ok)
        return {http::status::service_unavailable, kTextPlain,
                "the store cannot be read: " + documents.error + "\n"};
    if (document == DashboardDocument::Json)
        return {http::status::ok, kJson, documents.json};
    return {http::status::ok, kTextHtml, documents.html};
}

// One client connection: its requests one after another, each within the
// limits above. The connection lives as long as an operation of its loop
// holds it (shared_from_this); the loop's lists only point at it.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Loop& loop, const Listener& listener, tcp::socket socket, std::string peer);
    ~Connection();

    void Start() { AwaitRequest(); }
    // The server stops: an idle connection is closed now; a request under
    // way is read (within its limit), answered and then closed.
    void Stop();
    // Past its deadline: closed, and a request under way counted as cut off.
    void Expire();
    // Closes the socket; the waiting operation ends, and with it the
    // connection. Never ends it within this call.
    void Close();
    // On the loop, once the writer has stored (or given up) its report.
    void OnStored(bool stored);

    // Kept by the loop's lists (Loop::Enter).
    State state = State::Idle;
    Clock::time_point deadline;
    std::list<Connection*>::iterator listed;

private:
    void AwaitRequest();
    void BeginRequest();
    void Read();
    void OnRead(beast::error_code error, std::size_t bytes);
    // Feeds the buffer to the parser; reads more, or answers.
    void Parse();
    void OnRequest(beast::error_code error);
    // A report is answered once the writer has stored it.
    void AwaitStored(Received&& report, Answer answer, bool keepAlive, unsigned requestVersion);
    // A dashboard document is read off the loop; the answer follows.
    void AwaitDashboard(DashboardDocument document, const Period& period, bool keepAlive,
                        unsigned requestVersion);
    void OnDashboard(const DashboardDocuments& documents, DashboardDocument document, bool keepAlive,
                     unsigned requestVersion);
    // Sends one answer; `keepAlive` when another request may follow on
    // this connection.
    void Send(const Answer& answer, bool keepAlive, unsigned requestVersion);
    void OnSent(beast::error_code error);

    Loop& loop_;
    const Listener& listener_;
    tcp::socket socket_;
    const std::string peer_;
    beast::flat_buffer buffer_{MAX_REQUEST_HEAD_BYTES + MAX_BODY_BYTES};
    std::optional<http::request_parser<http::string_body>> parser_;
    Response response_;
    std::optional<http::response_serializer<http::string_body>> serializer_;
    std::size_t requests_ = 0;
    bool keepAlive_ = false;
    // The answer that waits for its report's commit.
    struct AfterStore {
        Answer answer;
        bool keepAlive = false;
        unsigned requestVersion = 11;
        bool valid = false;
    } afterStore_;
};

// What one loop counted; the other loops read it for the metrics.
struct LoopCounts {
    std::atomic<std::uint64_t> reports{0}, malformed{0}, notReports{0}, busy{0}, cutOff{0},
        unanswered{0}, refusedConnections{0};
};

// One event loop on a thread of its own: its listening sockets, its
// connections with their deadlines, its counts. Nothing of it is touched
// from another thread but the counts (atomic) and what is posted to it.
class Loop {
public:
    Loop(Front& front, bool first);

    asio::io_context io{1};   // run by one thread
    Listener reports;
    std::optional<Listener> admin;   // the first loop's alone
    LoopCounts counts;

    Front& front() { return front_; }
    bool Stopping() const;
    DashboardService* dashboard();

    // Accepting, and the deadline timer.
    void Start();
    // Stops accepting and closes the idle connections; the loop ends once
    // the rest have been answered.
    void Stop();
    // Cuts off every connection at once.
    void CloseAll();

    void Register(Connection* connection);
    void Forget(Connection* connection, const Listener& listener);
    // Moves the connection to `state`, whose time limit starts now.
    void Enter(Connection* connection, State state);

    // The answer to a request; for a report, the answer to send once
    // *report is stored.
    Answer Route(const Listener& listener, const Request& request, const std::string& peer,
                 std::optional<Received>* report);
    // On the writer's thread: the connection goes back to this loop with
    // its report's fate. The loop takes every such outcome at once.
    void Stored(std::shared_ptr<Connection> connection, bool stored);

private:
    Answer Report(const Request& request, std::string_view query, const std::string& peer,
                  std::optional<Received>* report);
    void AnswerStored();
    Answer Admin(const Request& request);
    Answer MetricsPage();

    // The admin listener's pages, by path.
    struct AdminPage {
        const char* path;
        Answer (Loop::*make)();
    };
    static const AdminPage kAdminPages[];

    void Accept(Listener& listener);
    void CheckDeadlines();
    void EndWhenEmpty();

    Front& front_;
    asio::steady_timer deadlineTimer_;
    // Every connection, by state. A state's time limit is one fixed length,
    // so a list in the order of entry is in the order of its deadlines: the
    // timer looks only at the fronts.
    std::array<std::list<Connection*>, STATES> connections_;
    std::size_t adminOpen_ = 0;
    bool ended_ = false;
    std::mutex storedMutex_;
    std::vector<std::pair<std::shared_ptr<Connection>, bool>> storedOutcomes_;
};

// The loops, and what they share: the queue, the bound on connections,
// the stop.
class Front {
public:
    Front(ReportQueue& queue, const ServeOptions& options, DashboardService* dashboard);

    // Binds and listens: the report port on every loop, the admin listener
    // on the first. False (having said why) when it cannot; *bound is the
    // port taken.
    bool Listen(bool reports, const std::string& host, int port, int* bound);

    // Runs every loop until stopped by a signal and every connection is
    // closed; the first loop on this thread.
    void Run();

    bool Stopping() const { return stopping_; }
    ReportQueue& queue() { return queue_; }
    DashboardService* dashboard() { return dashboard_; }
    const std::string& clientHeader() const { return clientHeader_; }
    ClientHasher& hasher() { return hasher_; }

    // A new connection on the report port: false when the most allowed are
    // open already.
    bool Admit();
    void Release() { --open_; }
    FrontFigures Figures();

    // A loop has closed its last connection after the stop.
    void Ended();

    // The clean stop, as at SIGTERM, from any thread.
    void Stop();

private:
    void AwaitSignal();
    void StopLoops();

    ReportQueue& queue_;
    DashboardService* const dashboard_;   // none without an admin listener
    const std::string clientHeader_;
    ClientHasher& hasher_;
    const std::size_t maxConnections_;
    std::vector<std::unique_ptr<Loop>> loops_;
    std::optional<asio::signal_set> signals_;   // on the first loop
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> open_{0};
    std::atomic<std::size_t> running_{0};
    bool ended_ = false;   // every loop has ended; kept on the first loop
};

Connection::Connection(Loop& loop, const Listener& listener, tcp::socket socket, std::string peer)
    : loop_(loop), listener_(listener), socket_(std::move(socket)), peer_(std::move(peer))
{
    loop_.Register(this);
    // Answers are written at once where the socket takes them (Send).
    beast::error_code ignored;
    socket_.non_blocking(true, ignored);
}

Connection::~Connection()
{
    loop_.Forget(this, listener_);
}

void Connection::Stop()
{
    if (state == State::Idle)
        Close();
}

void Connection::Expire()
{
    if (state == State::Reading)
        ++loop_.counts.cutOff;
    if (state == State::Storing)
        ++loop_.counts.unanswered;
    Close();
}

void Connection::Close()
{
    loop_.Enter(this, State::Closed);
    beast::error_code ignored;
    socket_.close(ignored);
}

void Connection::AwaitRequest()
{
    loop_.Enter(this, State::Idle);
    if (loop_.Stopping()) {
        Close();
        return;
    }
    // The next request may have come with the last one.
    if (buffer_.size() > 0) {
        BeginRequest();
        Parse();
        return;
    }
    Read();
}

void Connection::BeginRequest()
{
    // The request's first byte is here: its time limit starts now.
    loop_.Enter(this, State::Reading);
    parser_.emplace();
    parser_->header_limit(MAX_REQUEST_HEAD_BYTES);
    parser_->body_limit(MAX_BODY_BYTES);
}

void Connection::Read()
{
    std::size_t room = buffer_.max_size() - buffer_.size();
    std::size_t spare = buffer_.capacity() - buffer_.size();
    socket_.async_read_some(buffer_.prepare(std::min(room, std::max(READ_BYTES, spare))),
                            [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
                                self->OnRead(error, bytes);
                            });
}

void Connection::OnRead(beast::error_code error, std::size_t bytes)
{
    buffer_.commit(bytes);
    if (state == State::Closed)
        return;   // past its deadline, or the server stopped: the socket is closed
    if (error) {
        // A peer that closes or resets its connection with a request
        // unfinished has cut it off; one that closes it between requests
        // has not.
        if (state == State::Reading)
            ++loop_.counts.cutOff;
        Close();
        return;
    }
    if (state == State::Idle) {
        if (loop_.Stopping()) {
            Close();
            return;
        }
        BeginRequest();
    }
    Parse();
}

void Connection::Parse()
{
    beast::error_code error;
    while (!parser_->is_done()) {
        buffer_.consume(parser_->put(buffer_.data(), error));
        if (error == http::error::need_more) {
            if (buffer_.size() == buffer_.max_size()) {
                error = http::error::buffer_overflow;
                break;
            }
            Read();
            return;
        }
        if (error)
            break;
    }
    OnRequest(error);
}

void Connection::OnRequest(beast::error_code error)
{
    loop_.Enter(this, State::Answering);
    if (error) {
        // A request beyond a limit gets nothing; one that breaks HTTP's
        // syntax is answered.
        if (error == http::error::header_limit || error == http::error::body_limit ||
            error == http::error::buffer_overflow) {
            ++loop_.counts.cutOff;
            Close();
            return;
        }
        parser_.reset();
        ++loop_.counts.notReports;
        Send({http::status::bad_request, kTextPlain, "not HTTP\n"}, false, 11);
        return;
    }
    ++requests_;
    const Request& request = parser_->get();
    bool keepAlive = request.keep_alive() && requests_ < MAX_REQUESTS_PER_CONNECTION;
    unsigned version = request.version();
    Period period;
    DashboardDocument document =
        listener_.reports ? DashboardDocument::None : DashboardDocumentOf(request, &period);
    if (document != DashboardDocument::None && loop_.dashboard()) {
        bool get = request.method() == http::verb::get;
        parser_.reset();
        if (!get)
            Send({http::status::method_not_allowed, kTextPlain, "GET only\n"}, keepAlive, version);
        else if (document == DashboardDocument::BadPeriod)
            Send({http::status::bad_request, kTextPlain,
                  "a period is from=YYYY-MM-DD and to=YYYY-MM-DD, whole UTC days, from not after to\n"},
                 keepAlive, version);
        else
            AwaitDashboard(document, period, keepAlive, version);
        return;
    }
    std::optional<Received> report;
    Answer answer = loop_.Route(listener_, request, peer_, &report);
    parser_.reset();   // an idle connection keeps no request
    if (report)
        AwaitStored(std::move(*report), std::move(answer), keepAlive, version);
    else
        Send(answer, keepAlive, version);
}

void Connection::AwaitStored(Received&& report, Answer answer, bool keepAlive, unsigned requestVersion)
{
    afterStore_ = {std::move(answer), keepAlive, requestVersion, report.parsed.valid};
    loop_.Enter(this, State::Storing);
    Loop* loop = &loop_;
    bool queued = loop_.front().queue().Push(std::move(report), [loop, self = shared_from_this()](bool stored) mutable {
        loop->Stored(std::move(self), stored);
    });
    if (!queued) {
        ++loop_.counts.busy;
        loop_.Enter(this, State::Answering);
        Send({http::status::service_unavailable, kTextPlain, "busy\n"}, keepAlive, requestVersion);
    }
}

void Connection::OnStored(bool stored)
{
    if (state != State::Storing)
        return;   // closed meanwhile: past its deadline, or cut off by a second signal
    if (!stored) {
        ++loop_.counts.unanswered;
        Close();
        return;
    }
    ++(afterStore_.valid ? loop_.counts.reports : loop_.counts.malformed);
    loop_.Enter(this, State::Answering);
    Answer answer = std::move(afterStore_.answer);
    Send(answer, afterStore_.keepAlive, afterStore_.requestVersion);
}

void Connection::AwaitDashboard(DashboardDocument document, const Period& period, bool keepAlive,
                                unsigned requestVersion)
{
    loop_.Enter(this, State::Preparing);
    asio::io_context& io = loop_.io;
    // Called on the dashboard's reader thread (or at once on this one): the
    // connection moves back to its loop, and only the loop may let it go.
    loop_.dashboard()->Request(period, [self = shared_from_this(), &io, document, keepAlive, requestVersion](
                                   std::shared_ptr<const DashboardDocuments> documents) mutable {
        asio::post(io, [self = std::move(self), documents = std::move(documents), document, keepAlive,
                        requestVersion] { self->OnDashboard(*documents, document, keepAlive, requestVersion); });
    });
}

void Connection::OnDashboard(const DashboardDocuments& documents, DashboardDocument document,
                             bool keepAlive, unsigned requestVersion)
{
    if (state != State::Preparing)
        return;   // closed meanwhile: past its deadline, or cut off by a second signal
    loop_.Enter(this, State::Answering);
    Send(DashboardAnswer(documents, document), keepAlive, requestVersion);
}

void Connection::Send(const Answer& answer, bool keepAlive, unsigned requestVersion)
{
    keepAlive_ = keepAlive && !loop_.Stopping();
    response_ = Response(answer.status, 11);
    response_.set(http::field::content_type, answer.contentType);
    // No cache on the way may keep an answer: reports from machines alike
    // are often the same bytes, and a cache that answered the second one
    // itself would keep it from the collector. HTTP/1.0 caches know only
    // the last two.
    response_.set(http::field::cache_control, "no-store");
    response_.set(http::field::pragma, "no-cache");
    response_.set(http::field::expires, kLongAgo);
    response_.body() = answer.body;
    response_.keep_alive(keepAlive_);
    // An HTTP/1.1 answer is kept alive unless it says otherwise; an
    // HTTP/1.0 client that asked for it is told so.
    if (keepAlive_ && requestVersion == 10)
        response_.set(http::field::connection, "keep-alive");
    response_.prepare_payload();
    // The header and the body go out in one write, so in one segment; the
    // socket takes it at once unless the peer has stopped reading, and only
    // then does the rest wait for the loop.
    serializer_.emplace(response_);
    beast::error_code error;
    while (!serializer_->is_done() && !error)
        http::write_some(socket_, *serializer_, error);
    if (error == asio::error::would_block) {
        http::async_write(socket_, *serializer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->OnSent(error);
        });
        return;
    }
    OnSent(error);
}

void Connection::OnSent(beast::error_code error)
{
    if (state != State::Answering)
        return;
    serializer_.reset();
    response_ = Response();
    if (error || !keepAlive_ || loop_.Stopping()) {
        Close();
        return;
    }
    AwaitRequest();
}

Loop::Loop(Front& front, bool first) : reports(io, true), front_(front), deadlineTimer_(io)
{
    if (first)
        admin.emplace(io, false);
}

bool Loop::Stopping() const
{
    return front_.Stopping();
}

DashboardService* Loop::dashboard()
{
    return admin ? front_.dashboard() : nullptr;
}

void Loop::Start()
{
    if (reports.acceptor.is_open())
        Accept(reports);
    if (admin && admin->acceptor.is_open())
        Accept(*admin);
    CheckDeadlines();
}

void Loop::Register(Connection* connection)
{
    std::list<Connection*>& idle = connections_[static_cast<std::size_t>(State::Idle)];
    connection->listed = idle.insert(idle.end(), connection);
    connection->state = State::Idle;
    connection->deadline = Clock::now() + IDLE_TIME_LIMIT;
}

void Loop::Forget(Connection* connection, const Listener& listener)
{
    connections_[static_cast<std::size_t>(connection->state)].erase(connection->listed);
    if (listener.reports)
        front_.Release();
    else
        --adminOpen_;
    EndWhenEmpty();
}

void Loop::Enter(Connection* connection, State state)
{
    std::list<Connection*>& to = connections_[static_cast<std::size_t>(state)];
    to.splice(to.end(), connections_[static_cast<std::size_t>(connection->state)], connection->listed);
    connection->state = state;
    if (state != State::Closed)
        connection->deadline = Clock::now() + TimeLimit(state);
}

void Loop::CheckDeadlines()
{
    Clock::time_point now = Clock::now();
    for (State state : kOpenStates) {
        std::list<Connection*>& waiting = connections_[static_cast<std::size_t>(state)];
        // Expire moves each to the closed list.
        while (!waiting.empty() && waiting.front()->deadline <= now)
            waiting.front()->Expire();
    }
    deadlineTimer_.expires_after(DEADLINE_CHECK_INTERVAL);
    // Once the loop has ended, a wait that expired as it was cancelled
    // still comes here: it must not start another.
    deadlineTimer_.async_wait([this](beast::error_code error) {
        if (!error && !ended_)
            CheckDeadlines();
    });
}

void Loop::Stop()
{
    beast::error_code ignored;
    for (Listener* listener : {&reports, admin ? &*admin : nullptr}) {
        if (!listener)
            continue;
        listener->acceptor.close(ignored);
        listener->retry.cancel();
    }
    std::list<Connection*>& idle = connections_[static_cast<std::size_t>(State::Idle)];
    while (!idle.empty())
        idle.front()->Stop();   // to the closed list
    EndWhenEmpty();
}

void Loop::CloseAll()
{
    for (State state : kOpenStates) {
        std::list<Connection*>& open = connections_[static_cast<std::size_t>(state)];
        while (!open.empty())
            open.front()->Close();
    }
}

// With every connection gone after the stop, only the deadline timer holds
// the loop.
void Loop::EndWhenEmpty()
{
    if (!Stopping() || ended_)
        return;
    for (const std::list<Connection*>& connections : connections_)
        if (!connections.empty())
            return;
    ended_ = true;
    deadlineTimer_.cancel();
    front_.Ended();
}

void Loop::Accept(Listener& listener)
{
    listener.acceptor.async_accept(listener.peer, [this, &listener](beast::error_code error, tcp::socket socket) {
        if (Stopping() || error == asio::error::operation_aborted)
            return;
        if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
            error == asio::error::no_memory) {
            listener.retry.expires_after(ACCEPT_RETRY_PAUSE);
            listener.retry.async_wait([this, &listener](beast::error_code waited) {
                if (!waited && !Stopping())
                    Accept(listener);
            });
            return;
        }
        if (!error) {
            bool admitted = listener.reports ? front_.Admit() : adminOpen_ < MAX_ADMIN_CONNECTIONS;
            if (!admitted) {
                // Refused at once, with a reset: the client knows now and
                // the server keeps no TIME_WAIT.
                if (listener.reports)
                    ++counts.refusedConnections;
                beast::error_code ignored;
                socket.set_option(asio::socket_base::linger(true, 0), ignored);
                socket.close(ignored);
            } else {
                if (!listener.reports)
                    ++adminOpen_;
                std::make_shared<Connection>(*this, listener, std::move(socket),
                                             listener.peer.address().to_string())
                    ->Start();
            }
        }
        Accept(listener);
    });
}

Answer Loop::Route(const Listener& listener, const Request& request, const std::string& peer,
                   std::optional<Received>* report)
{
    if (!listener.reports)
        return Admin(request);
    std::string_view query;
    if (request.method() != http::verb::get || !ReportQueryOfTarget(View(request.target()), &query)) {
        ++counts.notReports;
        return {request.method() != http::verb::get ? http::status::method_not_allowed
                                                     : http::status::not_found,
                kTextPlain, "not a report\n"};
    }
    return Report(request, query, peer, report);
}

// The query is taken from the request target as it came, byte for byte: a
// download URL inside it may hold "?", "%", "&" or bytes above 127.
Answer Loop::Report(const Request& request, std::string_view query, const std::string& peer,
                    std::optional<Received>* report)
{
    Received& received = report->emplace();
    received.receivedMs = NowMs();
    // Hashed here, before the report reaches the queue, the spool or the store.
    received.client = front_.hasher().Hash(ClientOf(request, front_.clientHeader(), peer), received.receivedMs);
    auto agent = request.find(http::field::user_agent);
    if (agent != request.end())
        received.userAgent = std::string(View(agent->value()));
    received.query.assign(query);
    received.parsed = ParseReportQuery(query);
    if (received.parsed.valid)
        return {http::status::ok, kTextPlain, "ok\n"};
    return {http::status::bad_request, kTextPlain, "kept as malformed: " + received.parsed.reason + "\n"};
}

void Loop::Stored(std::shared_ptr<Connection> connection, bool stored)
{
    bool first;
    {
        std::lock_guard<std::mutex> lock(storedMutex_);
        first = storedOutcomes_.empty();
        storedOutcomes_.emplace_back(std::move(connection), stored);
    }
    // One wake-up of the loop for a whole batch.
    if (first)
        asio::post(io, [this] { AnswerStored(); });
}

void Loop::AnswerStored()
{
    std::vector<std::pair<std::shared_ptr<Connection>, bool>> outcomes;
    {
        std::lock_guard<std::mutex> lock(storedMutex_);
        outcomes.swap(storedOutcomes_);
    }
    // The connections are let go here, on their own loop.
    for (auto& [connection, stored] : outcomes)
        connection->OnStored(stored);
}

const Loop::AdminPage Loop::kAdminPages[] = {
    {"/metrics", &Loop::MetricsPage},
};

Answer Loop::Admin(const Request& request)
{
    for (const AdminPage& page : kAdminPages) {
        if (View(request.target()) != page.path)
            continue;
        if (request.method() != http::verb::get)
            return {http::status::method_not_allowed, kTextPlain, "GET only\n"};
        return (this->*page.make)();
    }
    return {http::status::not_found, kTextPlain, "no such page\n"};
}

Answer Loop::MetricsPage()
{
    return {http::status::ok, kMetricsContentType, MetricsText(front_.Figures(), front_.queue().Figures())};
}

using ReusePort = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

sigset_t StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

Front::Front(ReportQueue& queue, const ServeOptions& options, DashboardService* dashboard)
    : queue_(queue),
      dashboard_(dashboard),
      clientHeader_(options.clientHeader),
      hasher_(*options.hasher),
      maxConnections_(options.maxConnections)
{
    unsigned processors = std::thread::hardware_concurrency();
    unsigned count = std::min(MAX_LOOPS, std::max(1u, processors));
    for (unsigned i = 0; i < count; ++i)
        loops_.push_back(std::make_unique<Loop>(*this, i == 0));
    signals_.emplace(loops_[0]->io, SIGINT, SIGTERM);
}

bool Front::Listen(bool reports, const std::string& host, int port, int* bound)
{
    beast::error_code error;
    tcp::resolver resolver(loops_[0]->io);
    auto endpoints = resolver.resolve(host, std::to_string(port),
                                      tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (!error && endpoints.empty())
        error = asio::error::host_not_found;
    tcp::endpoint endpoint;
    if (!error)
        endpoint = *endpoints.begin();
    // Every loop accepts on a socket of its own, all bound to the report
    // port with SO_REUSEPORT: the kernel shares the connections out, and no
    // loop hands one to another. Such a group admits any socket of the same
    // user that asks, so first a plain socket is bound alone: while another
    // collector (or anything) listens on the port, that fails.
    if (!error && reports && port != 0) {
        tcp::acceptor probe(loops_[0]->io);
        probe.open(endpoint.protocol(), error);
        if (!error)
            probe.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error)
            probe.bind(endpoint, error);
    }
    std::size_t count = reports ? loops_.size() : 1;
    for (std::size_t i = 0; i < count && !error; ++i) {
        tcp::acceptor& acceptor = reports ? loops_[i]->reports.acceptor : loops_[0]->admin->acceptor;
        if (i > 0)
            endpoint.port(static_cast<unsigned short>(*bound));
        // A restart must not wait for the last connections' TIME_WAIT.
        // Accepted sockets inherit TCP_NODELAY: answers go out at once, not
        // after the peer's delayed acknowledgement.
        acceptor.open(endpoint.protocol(), error);
        if (!error)
            acceptor.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error && reports)
            acceptor.set_option(ReusePort(true), error);
        if (!error)
            acceptor.set_option(tcp::no_delay(true), error);
        if (!error)
            acceptor.bind(endpoint, error);
        if (!error)
            acceptor.listen(asio::socket_base::max_listen_connections, error);
        if (!error && i == 0)
            *bound = acceptor.local_endpoint(error).port();
    }
    if (error) {
        std::fprintf(stderr, "lvcollect: cannot listen on %s:%d: %s\n", host.c_str(), port,
                     error.message().c_str());
        return false;
    }
    return true;
}

bool Front::Admit()
{
    if (open_.fetch_add(1) < maxConnections_)
        return true;
    --open_;
    return false;
}

FrontFigures Front::Figures()
{
    FrontFigures figures;
    for (const std::unique_ptr<Loop>& loop : loops_) {
        figures.reports += loop->counts.reports;
        figures.malformed += loop->counts.malformed;
        figures.notReports += loop->counts.notReports;
        figures.busy += loop->counts.busy;
        figures.cutOff += loop->counts.cutOff;
        figures.unanswered += loop->counts.unanswered;
        figures.refusedConnections += loop->counts.refusedConnections;
    }
    figures.openConnections = open_;
    return figures;
}

void Front::AwaitSignal()
{
    signals_->async_wait([this](beast::error_code error, int) {
        // A signal that came as the last loop ended is not waited past.
        if (error || ended_)
            return;
        // Waiting again first: a second signal cuts off what is under way.
        AwaitSignal();
        StopLoops();
    });
}

void Front::Stop()
{
    asio::post(loops_[0]->io, [this] {
        if (!ended_ && !stopping_)
            StopLoops();
    });
}

// The first time, the clean stop; the second, every connection cut off.
void Front::StopLoops()
{
    bool again = stopping_.exchange(true);
    if (!again)
        NotifyServiceManager("STOPPING=1");
    queue_.Closing();
    for (const std::unique_ptr<Loop>& loop : loops_) {
        Loop* each = loop.get();
        asio::post(each->io, [each, again] {
            if (again)
                each->CloseAll();
            else
                each->Stop();
        });
    }
}

void Front::Ended()
{
    // The last loop to end lets the first one go too.
    if (--running_ == 0)
        asio::post(loops_[0]->io, [this] {
            ended_ = true;
            signals_->cancel();
        });
}

void Front::Run()
{
    running_ = loops_.size();
    for (const std::unique_ptr<Loop>& loop : loops_)
        loop->Start();
    AwaitSignal();
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < loops_.size(); ++i)
        threads.emplace_back([loop = loops_[i].get()] { loop->io.run(); });
    // The stop signals reach the process only while the first loop runs
    // (Serve blocks them, and every other thread inherits that): after it,
    // the signal set is gone and a late SIGTERM would end the process
    // before its closing line.
    sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    loops_[0]->io.run();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    for (std::thread& thread : threads)
        thread.join();
}

// Enough descriptors for every connection allowed: the soft limit is raised
// as far as the hard one allows.
bool RaiseDescriptorLimit(std::size_t connections)
{
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return true;
    rlim_t needed = static_cast<rlim_t>(connections) + MAX_ADMIN_CONNECTIONS + RESERVED_DESCRIPTORS;
    if (limit.rlim_cur >= needed)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        std::fprintf(stderr,
                     "lvcollect: %zu connections need %llu open files, and the hard limit is %llu "
                     "(raise it, or lower --max-connections)\n",
                     connections, static_cast<unsigned long long>(needed),
                     static_cast<unsigned long long>(limit.rlim_max));
        return false;
    }
    limit.rlim_cur = needed;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

int Serve(const ServeOptions& options, ReportStore& store)
{
    if (!RaiseDescriptorLimit(options.maxConnections))
        return 1;
    signal(SIGPIPE, SIG_IGN);
    // Before any thread starts: only the first loop takes them (Front::Run).
    sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ReportQueue queue;
    // Made before the front and ended after it: the loops end only once
    // every dashboard request has been answered.
    std::optional<DashboardService> dashboard;
    if (options.adminPort >= 0 && options.openDashboardStore)
        dashboard.emplace(options.openDashboardStore, NowMs);
    Front front(queue, options, dashboard ? &*dashboard : nullptr);
    int adminPort = 0;
    int port = 0;
    if (options.adminPort >= 0 && !front.Listen(false, options.adminHost, options.adminPort, &adminPort))
        return 1;
    if (!front.Listen(true, options.host, options.port, &port))
        return 1;
    if (options.adminPort >= 0)
        std::printf("lvcollect: admin listening on %s:%d\n", options.adminHost.c_str(), adminPort);
    std::printf("lvcollect: listening on %s:%d\n", options.host.c_str(), port);
    std::fflush(stdout);
    NotifyServiceManager("READY=1");

    // A store found to be one this collector can never write stops it, as
    // SIGTERM would: what is under way is answered (into the spool).
    std::function<bool()> upkeep = [&] {
        if (!store.Refusal().empty())
            front.Stop();
        return options.upkeep && options.upkeep();
    };
    std::thread writer([&] { queue.RunWriter(store, upkeep); });
    // Returns once stopped, after every connection has closed.
    front.Run();
    queue.Close();
    writer.join();

    std::uint64_t kept = store.Finish();
    std::string refusal = store.Refusal();
    if (!refusal.empty())
        std::fprintf(stderr, "lvcollect: %s; this one stops, and its spool keeps the %llu reports it answered\n",
                     refusal.c_str(), static_cast<unsigned long long>(kept));

    FrontFigures counts = front.Figures();
    QueueFigures stored = queue.Figures();
    std::string keptText = kept == 0 ? "" : ", " + std::to_string(kept) + " of them in the spool until the database is back";
    std::string lostText = stored.lost == 0 ? "" : "; could not store " + std::to_string(stored.lost) +
                                                        " reports, which were not answered";
    std::printf("lvcollect: answered %llu reports and %llu malformed queries, all stored%s; answered %llu "
                "other requests, refused %llu as busy; cut off %llu requests (too long, too slow "
                "or half sent); closed %llu unanswered; at most %zu reports waited to be stored%s\n",
                static_cast<unsigned long long>(counts.reports),
                static_cast<unsigned long long>(counts.malformed), keptText.c_str(),
                static_cast<unsigned long long>(counts.notReports),
                static_cast<unsigned long long>(counts.busy),
                static_cast<unsigned long long>(counts.cutOff),
                static_cast<unsigned long long>(counts.unanswered), stored.longest, lostText.c_str());
    return stored.lost == 0 && refusal.empty() ? 0 : 1;
}

}  // namespace lvcollect
