#include "net/CurlPrefetch.h"

#include "net/CurlHttpClient.h"
#include "net/CurlRoute.h"

#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

using namespace WinInet;

namespace CurlClient {
namespace {
std::atomic<int> g_idleWaitMs{100};

// A transfer fetched ahead opens its socket without waiting for the handshake, since one
// thread drives all of them; the batch's loop holds the handshake to the caller's limit.
curl_socket_t OpenWatchedSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    auto* request = static_cast<Request*>(user);
    request->sockets.push_back(fd);
    if (!request->tcpStarted)
        request->tcpStarted = Clock::now();
    return fd;
}

// Called when the transfer has its connection and is about to send: from here on the stall
// limit counts, as it does for a request sent on its own.
int OnConnected(void* user, char*, char*, int, int localPort) {
    auto* request = static_cast<Request*>(user);
    request->underWay = true;
    request->localPort = localPort;
    request->lastActivity = Clock::now();
    return CURL_PREREQFUNC_OK;
}

// A request as the engine would open it for planned: its session, connection and login.
std::unique_ptr<Request> PlannedRequest(const PrefetchRequest& planned) {
    auto session = std::make_shared<SessionState>();
    session->accessType = planned.accessType;
    session->proxyList = planned.proxyList;
    auto connection = std::make_shared<ConnectionState>();
    connection->session = std::move(session);
    connection->server = planned.server;
    connection->port = planned.port;
    connection->connectTimeoutMs = static_cast<long>(planned.connectTimeoutMs);
    connection->proxyUserName = planned.proxyUserName;
    connection->proxyPassword = planned.proxyPassword;
    connection->proxyNoBasic = planned.proxyNoBasic;
    auto request = std::make_unique<Request>();
    request->connection = std::move(connection);
    request->object = planned.object.startsWith(u'/') ? planned.object : u'/' + planned.object;
    request->flags = planned.flags;
    return request;
}

// The documents of one StartPrefetch. Its own thread runs the plan and then every transfer
// on one multi handle; the engines' threads take the outcomes (Take). An entry's request
// belongs to the batch's thread while it runs and to whoever takes it once it is done; the
// state that tells which is kept under the lock.
class Batch {
public:
    static constexpr int kConnectionsPerHost = 8;

    Batch(std::function<std::vector<PrefetchRequest>()> plan, int64_t maxBytes,
          std::chrono::milliseconds deadline)
        : m_maxBytes(maxBytes), m_deadline(Clock::now() + deadline),
          m_thread([this, plan = std::move(plan)] { Run(plan); }) {}

    ~Batch() {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
            if (m_multi)
                Curl().multi_wakeup(m_multi);
        }
        m_thread.join();
    }

    // The outcome of a fetched-ahead request with this key, waited for while it runs; null
    // when there is none to hand out (then the request is sent on its own) or when cancel
    // turns true while waiting.
    std::unique_ptr<Request> Take(const std::string& key, const std::atomic<bool>* cancel) {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [this] { return m_planned.load(); });
        for (Entry& entry : m_entries) {
            if (entry.state == State::Gone || entry.key != key)
                continue;
            // Not started and never to be (a login was asked for): from now on it is the
            // caller's to send. One that only waits for its turn is waited for.
            if (entry.state == State::Waiting && !WillStart(entry)) {
                entry.state = State::Gone;
                return nullptr;
            }
            while (entry.state == State::Running ||
                   (entry.state == State::Waiting && WillStart(entry))) {
                if (cancel && cancel->load())
                    return nullptr;
                m_changed.wait_for(lock, std::chrono::milliseconds(100));
            }
            if (entry.state != State::Done)
                return nullptr;
            entry.state = State::Gone;
            return Usable(*entry.request) ? std::move(entry.request) : nullptr;
        }
        return nullptr;
    }

    // Whether the outcome of the request with this key has arrived as a success that Take
    // hands out: taking it sends nothing and waits for nothing.
    bool Succeeded(const std::string& key) {
        std::lock_guard lock(m_lock);
        if (!m_planned)
            return false;
        for (const Entry& entry : m_entries) {
            if (entry.state == State::Gone || entry.key != key)
                continue;
            if (entry.state != State::Done)
                return false;
            const Request& fetched = *entry.request;
            return Usable(fetched) && fetched.result == CURLE_OK && !fetched.lastSentIsConnect &&
                   fetched.headStatus >= 200 && fetched.headStatus < 300;
        }
        return false;
    }

private:
    enum class State { Waiting, Running, Done, Gone };

    // An outcome that may be handed out. A certificate's complaint is watched only on a
    // thread that drives one request.
    static bool Usable(const Request& fetched) {
        return !fetched.outOfTime && fetched.result != CURLE_ABORTED_BY_CALLBACK &&
               fetched.result != CURLE_WRITE_ERROR &&
               fetched.result != CURLE_PEER_FAILED_VERIFICATION &&
               fetched.result != CURLE_FAILED_INIT && fetched.result != CURLE_OUT_OF_MEMORY;
    }
    // An entry's state, kept under the lock and also atomic: a download that takes its
    // answer on the calling thread looks at it under the lock too, yet the thread sanitizer has
    // been seen to take those looks for races with the batch's thread.
    class StateCell {
    public:
        StateCell() = default;
        StateCell(const StateCell& other) : m_value(other.m_value.load()) {}
        StateCell& operator=(const StateCell& other) {
            m_value.store(other.m_value.load());
            return *this;
        }
        StateCell& operator=(State state) {
            m_value.store(state);
            return *this;
        }
        operator State() const { return m_value.load(); }

    private:
        std::atomic<State> m_value{State::Waiting};
    };
    struct Entry {
        std::unique_ptr<Request> request;
        std::string key;
        std::string route;
        StateCell state;
        bool first = false;    // the first of its route, which goes alone
        bool released = false; // a first whose route may follow
    };

    void Plan(const std::vector<PrefetchRequest>& plan) {
        std::vector<std::string> routes;
        for (const PrefetchRequest& planned : plan) {
            Entry entry;
            entry.request = PlannedRequest(planned);
            entry.request->fetchedAhead = true;
            entry.request->bodyLimit = m_maxBytes;
            entry.request->budget = &m_budget;
            entry.key = RequestKey(*entry.request);
            entry.route = RouteKey(*entry.request);
            // Through a proxy the first request to each server goes alone: its answer settles
            // the proxy's scheme, and whether a login must be asked for before anything else
            // is sent. Direct ones only wait for the first connection to tell whether it takes
            // them all at once (PIPEWAIT).
            const bool secure = (planned.flags & INTERNET_FLAG_SECURE) != 0;
            const bool proxied = planned.accessType == INTERNET_OPEN_TYPE_PROXY ||
                                 (planned.accessType == INTERNET_OPEN_TYPE_PRECONFIG &&
                                  !EnvironmentProxy(secure).empty());
            entry.first =
                !proxied || std::find(routes.begin(), routes.end(), entry.route) == routes.end();
            if (entry.first)
                routes.push_back(entry.route);
            m_entries.push_back(std::move(entry));
        }
    }

    // Batch thread, under the lock.
    void Start(Entry& entry) {
        Request& request = *entry.request;
        if (MakeTransfer(request) && Curl().multi_add_handle(m_multi, request.easy) == CURLM_OK) {
            request.lastActivity = Clock::now();
            entry.state = State::Running;
            ++m_routes[entry.route].running;
            return;
        }
        entry.state = State::Gone;
    }

    // Under the lock: whether a waiting entry is started once its turn comes.
    bool WillStart(const Entry& entry) {
        return !m_stop && m_multi && (entry.first || (m_routes[entry.route].open && !m_halted));
    }

    // Batch thread, under the lock: starts the waiting entries whose turn has come, in the
    // order of the plan. Over HTTP/1.1 a route has at most as many transfers under way as it
    // has connections, so that its answers come in that order too: the products are checked
    // in it, and one answer left for last would hold up every product after it. A route whose
    // answers come over a protocol that multiplexes takes all of them at once.
    void Admit() {
        for (Entry& entry : m_entries) {
            if (entry.state != State::Waiting || !WillStart(entry))
                continue;
            const Route& route = m_routes[entry.route];
            if (route.multiplexed || route.running < kConnectionsPerHost)
                Start(entry);
        }
    }

    // Batch thread, under the lock: the rest of a first's route follow it.
    void Release(Entry& first) {
        first.released = true;
        m_routes[first.route].open = true;
        Admit();
    }

    // Batch thread: whether the rest of a running first's route may follow. They may once
    // its answer has come and asks for no login: the connection, its protocol and the proxy's
    // scheme are known then, even when the body is slow to follow.
    static bool Settled(const Request& request) {
        const long status = request.headStatus;
        return request.lastSentAnswered && !request.lastSentIsConnect && status >= 200 &&
               status != 401 && status != 407;
    }

    // Batch thread: the transfer has ended with result.
    void End(Entry& entry, CURLcode result) {
        Curl().multi_remove_handle(m_multi, entry.request->easy);
        entry.request->done = true;
        entry.request->result = result;
        std::lock_guard lock(m_lock);
        entry.state = State::Done;
        --m_routes[entry.route].running;
        if (entry.first && !entry.released) {
            const long status = entry.request->headStatus;
            // A login asked for is answered one request at a time, as the person sees it.
            if (status == 401 || status == 407)
                m_halted = true;
            Release(entry);
        }
        Admit();
        m_changed.notify_all();
    }

    // Batch thread: the limits a request sent on its own keeps in Drive and in its socket's
    // handshake.
    void Watch(Entry& entry, Clock::time_point now) {
        Request& request = *entry.request;
        if (!request.underWay && !request.sockets.empty()) {
            for (const curl_socket_t fd : request.sockets) {
                sockaddr_storage peer{};
                socklen_t length = sizeof peer;
                if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
                    request.underWay = true;
            }
            if (request.underWay) {
                request.lastActivity = now;
            } else if (now - *request.tcpStarted >=
                       std::chrono::milliseconds(request.tcpTimeoutMs)) {
                request.connectErrno = ETIMEDOUT;
                End(entry, CURLE_COULDNT_CONNECT);
                return;
            }
        }
        if (now >= m_deadline) {
            request.outOfTime = true;
            End(entry, CURLE_OPERATION_TIMEDOUT);
        } else if (request.underWay && now - request.lastActivity >=
                                           std::chrono::milliseconds(g_stallTimeoutMs.load())) {
            End(entry, CURLE_OPERATION_TIMEDOUT);
        }
    }

    void Run(const std::function<std::vector<PrefetchRequest>()>& plan) {
        const std::vector<PrefetchRequest> planned = plan();
        CURLM* multi = Curl().multi_init();
        {
            std::lock_guard lock(m_lock);
            Plan(planned);
            m_planned = true;
            m_multi = multi;
            if (m_multi && !m_stop) {
                // Eight connections per server when it does not take many requests on one: two
                // more than browsers keep, since a check asks for many small documents one
                // after another on each, and every one of its rounds costs a round trip. With
                // six, 100 products over a 20 ms link took a quarter of the time of fetching
                // them one by one; with eight, a fifth.
                Curl().multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                                    static_cast<long>(kConnectionsPerHost));
                Curl().multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, 16L);
                Admit();
            }
            m_changed.notify_all();
        }
        if (!multi)
            return;
        for (;;) {
            const int64_t budgetBefore = m_budget.load();
            int running = 0;
            if (Curl().multi_perform(multi, &running) != CURLM_OK)
                break;
            int queued = 0;
            bool ended = false;
            while (CURLMsg* message = Curl().multi_info_read(multi, &queued)) {
                Request* request = nullptr;
                Curl().easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &request);
                if (message->msg == CURLMSG_DONE && request) {
                    End(EntryOf(*request), message->data.result);
                    ended = true;
                }
            }
            const Clock::time_point now = Clock::now();
            // Two transfers under way on one connection: it carries them side by side.
            std::map<int, const std::string*> routeOfPort;
            for (Entry& entry : m_entries) {
                if (StateOf(entry) != State::Running)
                    continue;
                Watch(entry, now);
                // One that ended is the taker's from now on; one under way only this thread's.
                if (StateOf(entry) != State::Running)
                    continue;
                const Request& request = *entry.request;
                bool shared = false;
                if (request.localPort != 0) {
                    const auto [known, added] =
                        routeOfPort.try_emplace(request.localPort, &entry.route);
                    shared = !added && *known->second == entry.route;
                }
                if (request.headMultiplexed || shared) {
                    std::lock_guard lock(m_lock);
                    if (!m_routes[entry.route].multiplexed) {
                        m_routes[entry.route].multiplexed = true;
                        Admit();
                    }
                }
                if (entry.first && !entry.released && Settled(request)) {
                    std::lock_guard lock(m_lock);
                    Release(entry);
                }
            }
            {
                // Counted after the walk: a transfer started during it may stand before the
                // entry that started it.
                std::lock_guard lock(m_lock);
                const bool any =
                    std::any_of(m_entries.begin(), m_entries.end(),
                                [](const Entry& e) { return e.state == State::Running; });
                if (m_stop || !any)
                    break;
            }
            // A round that moved anything is followed by another at once. Over HTTP/2 one
            // read of the connection can take in the answers of many streams, which libcurl
            // hands to their transfers only as it drives them: waiting on the socket then
            // would sleep through answers already here until the next packet or the poll's
            // limit, which on loopback made one check in ten take 100 ms longer.
            const bool moved = ended || m_budget.load() != budgetBefore;
            Curl().multi_poll(multi, nullptr, 0, moved ? 0 : g_idleWaitMs.load(), nullptr);
        }
        std::lock_guard lock(m_lock);
        for (Entry& entry : m_entries) {
            if (entry.state == State::Running) {
                Curl().multi_remove_handle(multi, entry.request->easy);
                entry.state = State::Gone;
            }
        }
        m_multi = nullptr;
        Curl().multi_cleanup(multi);
        m_changed.notify_all();
    }

    Entry& EntryOf(const Request& request) {
        std::lock_guard lock(m_lock); // Take may be moving another entry's request out
        for (Entry& entry : m_entries)
            if (entry.request.get() == &request)
                return entry;
        std::abort(); // every transfer of the multi handle is an entry's
    }

    State StateOf(const Entry& entry) {
        std::lock_guard lock(m_lock);
        return entry.state;
    }

    const int64_t m_maxBytes;
    const Clock::time_point m_deadline;
    std::atomic<int64_t> m_budget{32 * 1024 * 1024};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    // Both also atomic, beside their lock: the destructor's store of m_stop and the first
    // look of a download at m_planned (Succeeded, made before the plan exists) are hand-overs
    // that a race detector has been seen to miss through the lock alone.
    std::atomic<bool> m_planned{false};
    std::atomic<bool> m_stop{false};
    bool m_halted = false;
    // What is known of each route, under the lock.
    struct Route {
        int running = 0;          // transfers under way
        bool open = false;        // its first has been released
        bool multiplexed = false; // its answers come over HTTP/2 or later
    };
    std::map<std::string, Route> m_routes;
    CURLM* m_multi = nullptr;
    std::thread m_thread; // last: it starts once everything else is in place
};

std::mutex g_batchLock;
std::shared_ptr<Batch> g_batch;

std::shared_ptr<Batch> CurrentBatch() {
    std::lock_guard lock(g_batchLock);
    return g_batch;
}
} // namespace

void WatchFetchedAhead(Request& request) {
    CURL* easy = request.easy;
    const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
    Curl().easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, OpenWatchedSocket);
    Curl().easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnConnected);
    Curl().easy_setopt(easy, CURLOPT_PREREQDATA, &request);
    // Waits for a connection that can carry it beside others rather than opening one;
    // over TLS the handshake tells at once. Plain HTTP would learn it only from the first
    // answer, which a server that hangs never gives.
    Curl().easy_setopt(easy, CURLOPT_PIPEWAIT, secure ? 1L : 0L);
    Curl().easy_setopt(easy, CURLOPT_PRIVATE, &request);
}

bool TakeFetchedAhead(Request& request) {
    const std::shared_ptr<Batch> batch = CurrentBatch();
    if (!batch)
        return false;
    std::unique_ptr<Request> fetched = batch->Take(RequestKey(request), request.cancel);
    if (!fetched)
        return false;
    Request& from = *fetched;
    request.url = from.url;
    std::swap(request.easy, from.easy);
    request.fetchedAhead = true;
    request.pending = std::move(from.pending);
    request.pendingPos = 0;
    request.done = true;
    request.result = from.result;
    request.lastSentIsConnect = from.lastSentIsConnect;
    request.lastSentAnswered = from.lastSentAnswered;
    request.headStatus = from.headStatus;
    request.headPhrase = std::move(from.headPhrase);
    request.connectErrno = from.connectErrno;
    request.headProxyError = std::move(from.headProxyError);
    request.offeredSchemes = from.offeredSchemes;
    request.headEncoded = from.headEncoded;
    request.encoded = from.encoded;
    request.proxyKey = std::move(from.proxyKey);
    request.proxy = std::move(from.proxy);
    request.proxyUserName = std::move(from.proxyUserName);
    request.proxyPassword = std::move(from.proxyPassword);
    request.caFile = std::move(from.caFile);
    // The handle's strings and callbacks must not point into the object about to go.
    Curl().easy_setopt(request.easy, CURLOPT_WRITEDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_HEADERDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_DEBUGDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_OPENSOCKETDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_PREREQDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_PRIVATE, &request);
    return true;
}
} // namespace CurlClient

using namespace CurlClient;

void CurlHttpClient::StartPrefetch(std::function<std::vector<PrefetchRequest>()> plan,
                                   int64_t maxBytes, std::chrono::milliseconds deadline) {
    EndPrefetch();
    auto batch = std::make_shared<Batch>(std::move(plan), maxBytes, deadline);
    std::lock_guard lock(g_batchLock);
    g_batch = std::move(batch);
}

bool CurlHttpClient::FetchedAheadSucceeded(const PrefetchRequest& planned) {
    const std::shared_ptr<Batch> batch = CurrentBatch();
    return batch && batch->Succeeded(RequestKey(*PlannedRequest(planned)));
}

bool CurlHttpClient::Prefetching() {
    return CurrentBatch() != nullptr;
}

void CurlHttpClient::SetPrefetchIdleWait(std::chrono::milliseconds wait) {
    g_idleWaitMs.store(static_cast<int>(wait.count()));
}

std::chrono::milliseconds CurlHttpClient::PrefetchIdleWait() {
    return std::chrono::milliseconds(g_idleWaitMs.load());
}

void CurlHttpClient::EndPrefetch() {
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard lock(g_batchLock);
        batch.swap(g_batch);
    }
}
