// SPDX-License-Identifier: MIT
#include "http/server.h"

#include "common/clock.h"
#include "common/fd.h"
#include "http/connection.h"
#include "http/fetcher.h"
#include "http/loopback.h"
#include "http/wire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <list>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace macmon {
namespace {

constexpr int kEvents = 64;
constexpr int kAcceptsPerWake = 64; // so a flood of connections cannot keep the loop from the others
constexpr std::size_t kReadChunk = 4096;
// What epoll reports the service's own descriptors by; connections are numbered after them.
constexpr std::uint64_t kListenEvent = 0, kWakeEvent = 1, kStopEvent = 2;
// Descriptors no connection may take: the loop's own, the sampler's file reads and the sanitizers' probes.
constexpr rlim_t kSpareDescriptors = 16;
// A paused listening socket is tried again this often.
constexpr std::chrono::milliseconds kAcceptRetry { 50 };

// The connection limit, lowered so that connections never take the process's last descriptors.
unsigned connectionCap(unsigned wanted, int descriptorsInUse)
{
    rlimit files {};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return wanted;
    const rlim_t taken = static_cast<rlim_t>(std::max(descriptorsInUse, 0)) + kSpareDescriptors;
    return static_cast<unsigned>(
        std::clamp<rlim_t>(files.rlim_cur > taken ? files.rlim_cur - taken : 1, 1, wanted));
}

} // namespace

struct Server::Loop
{
    Loop(int listen, DocumentSource source, ServerLimits l, std::uint16_t port)
        : listenFd(listen)
        , reserveFd(openReserve())
        , fetcher(std::move(source))
        , limits(l)
        , cap(connectionCap(l.connections, reserveFd.get()))
        , hosts(http::hostsFor(port))
    { }
    ~Loop()
    {
        if (!handingOver)
            ::close(listenFd);
    }

    void run();
    void stop();

    static orvane::Fd openReserve() { return orvane::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

    const int listenFd;
    // Held so that, out of descriptors, a newcomer can still be taken off the backlog and closed.
    orvane::Fd reserveFd;
    orvane::Fd epollFd;
    orvane::Fd stopFd;
    DocumentFetcher fetcher;
    const ServerLimits limits;
    const unsigned cap;
    const std::set<std::string> hosts;

    // Ordered by deadline: every deadline is set to now + headTime, so appending keeps the order.
    Connections connections;
    std::unordered_map<std::uint64_t, Connections::iterator> byId;
    std::uint64_t lastId = kStopEvent;
    std::vector<std::uint64_t> waiting;
    bool fetching = false;
    bool accepting = true;
    // Set before a stop that keeps the listening socket: open connections are answered first.
    std::atomic<bool> handingOver = false;
    orvane::Clock::time_point retryAccepting;
    bool stopping = false;

private:
    void watch(Connection &c, std::uint32_t events, int op = EPOLL_CTL_MOD);
    void close(Connections::iterator it);
    void accept();
    void outOfDescriptors();
    void setAccepting(bool on);
    void read(Connections::iterator it);
    void drain(Connections::iterator it);
    void respond(Connections::iterator it);
    void write(Connections::iterator it);
    // A new state with a fresh deadline, so the list stays ordered by deadline.
    void enterState(Connections::iterator it, Connection::State state);
    void expire();
    void deliver();
};

void Server::Loop::watch(Connection &c, std::uint32_t events, int op)
{
    // Only a change costs a call: answers to a client that pipelines need none.
    if (op == EPOLL_CTL_MOD && c.watched == events)
        return;
    c.watched = events;
    epoll_event ev {};
    ev.events = events;
    ev.data.u64 = c.id;
    ::epoll_ctl(epollFd.get(), op, c.fd.get(), &ev);
}

void Server::Loop::close(Connections::iterator it)
{
    byId.erase(it->id);
    connections.erase(it);
    // A descriptor came back: whoever waits in the backlog may come in.
    if (!reserveFd.valid())
        reserveFd = openReserve();
    setAccepting(true);
}

void Server::Loop::enterState(Connections::iterator it, Connection::State state)
{
    it->state = state;
    it->deadline = orvane::Clock::now() + limits.headTime;
    connections.splice(connections.end(), connections, it);
}

void Server::Loop::setAccepting(bool on)
{
    if (on == accepting || stopping)
        return;
    accepting = on;
    retryAccepting = orvane::Clock::now() + kAcceptRetry;
    epoll_event ev {};
    ev.events = on ? std::uint32_t { EPOLLIN } : 0;
    ev.data.u64 = kListenEvent;
    ::epoll_ctl(epollFd.get(), EPOLL_CTL_MOD, listenFd, &ev);
}

// Connections of ours each give their descriptor back by their deadline, so newcomers wait in the
// backlog for one; with none open, the reserve lets a newcomer be taken and closed, so that a ready
// listening socket cannot keep the loop spinning.
void Server::Loop::outOfDescriptors()
{
    if (!connections.empty() || !reserveFd.valid())
        return setAccepting(false);
    reserveFd.reset();
    (void)orvane::Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    reserveFd = openReserve();
}

void Server::Loop::accept()
{
    for (int n = 0; n < kAcceptsPerWake; ++n) {
        // At the limit, with every connection being answered or just come, newcomers wait in the backlog.
        if (connections.size() >= cap
            && makesWay(connections, orvane::Clock::now(), limits.headTime) == connections.end())
            return setAccepting(false);
        orvane::Fd fd(::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid() && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (!fd.valid())
            return errno == EMFILE || errno == ENFILE ? outOfDescriptors() : void();
        // Silent or slow clients cannot lock others out: the oldest of them makes way.
        if (connections.size() >= cap)
            close(makesWay(connections, orvane::Clock::now(), limits.headTime));
        const auto it = connections.emplace(connections.end());
        it->fd = std::move(fd);
        it->id = ++lastId;
        it->deadline = orvane::Clock::now() + limits.headTime;
        byId.emplace(it->id, it);
        watch(*it, EPOLLIN, EPOLL_CTL_ADD);
        // A client usually sends its request with the connection: it is answered without another wake.
        read(it);
    }
}

void Server::Loop::drain(Connections::iterator it)
{
    char buffer[kReadChunk];
    for (ssize_t n; (n = ::recv(it->fd.get(), buffer, sizeof buffer, 0)) != 0;)
        if (n < 0 && errno != EINTR)
            return errno == EAGAIN ? void() : close(it);
    close(it);
}

void Server::Loop::read(Connections::iterator it)
{
    char buffer[kReadChunk];
    while (it->in.size() <= limits.headBytes) {
        const ssize_t n
            = ::recv(it->fd.get(), buffer, std::min(limits.headBytes + 1 - it->in.size(), sizeof buffer), 0);
        if (n == 0) {
            // A client may half-close right after its request: what it sent still gets its answer.
            it->ended = true;
            watch(*it, 0);
            break;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN ? respond(it) : close(it);
        // One allocation of the cap, so a head's memory never grows past it.
        it->in.reserve(limits.headBytes + 1);
        it->in.append(buffer, static_cast<std::size_t>(n));
    }
    respond(it);
}

void Server::Loop::respond(Connections::iterator it)
{
    const auto verdict = http::judge(it->in, hosts, limits.headBytes);
    if (!verdict)
        return it->ended ? close(it) : void();
    it->verdict = *verdict;
    it->in.erase(0, verdict->length);
    if (verdict->status == http::kOk) {
        enterState(it, Connection::State::Waiting);
        watch(*it, 0);
        waiting.push_back(it->id);
        if (!std::exchange(fetching, true))
            fetcher.request();
        return;
    }
    it->out = http::answer(verdict->status, it->verdict);
    enterState(it, Connection::State::Writing);
    write(it);
}

void Server::Loop::write(Connections::iterator it)
{
    const std::size_t bodySize = it->body && !it->verdict.headOnly ? it->body->size() : 0;
    const std::size_t total = it->out.size() + bodySize;
    while (it->sent < total) {
        iovec parts[2];
        int count = 0;
        if (it->sent < it->out.size())
            parts[count++] = { it->out.data() + it->sent, it->out.size() - it->sent };
        const std::size_t bodyAt = it->sent > it->out.size() ? it->sent - it->out.size() : 0;
        if (bodySize > bodyAt)
            parts[count++] = { const_cast<char *>(it->body->data()) + bodyAt, bodySize - bodyAt };
        msghdr msg {};
        msg.msg_iov = parts;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t n = ::sendmsg(it->fd.get(), &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN)
            return watch(*it, EPOLLOUT);
        if (n < 0 && errno != EINTR)
            return close(it);
        if (n > 0)
            it->sent += static_cast<std::size_t>(n);
    }
    if (!it->verdict.keepAlive) {
        // Closing with unread input would reset the connection and could destroy the answer in flight.
        ::shutdown(it->fd.get(), SHUT_WR);
        if (it->ended)
            return close(it);
        enterState(it, Connection::State::Closing);
        return watch(*it, EPOLLIN);
    }
    it->out.clear();
    it->body.reset();
    it->sent = 0;
    enterState(it, Connection::State::Reading);
    // A request the client sent ahead is already here; only one still to come needs the input watched.
    const auto id = it->id;
    respond(it);
    if (const auto found = byId.find(id);
        found != byId.end() && found->second->state == Connection::State::Reading && !found->second->ended)
        watch(*found->second, EPOLLIN);
}

void Server::Loop::deliver()
{
    const auto doc = fetcher.take();
    fetching = false;
    for (const auto id : std::exchange(waiting, {})) {
        const auto found = byId.find(id);
        if (found == byId.end() || found->second->state != Connection::State::Waiting)
            continue;
        const auto it = found->second;
        if (doc) {
            it->body = doc;
            it->out = http::answer(http::kOk, it->verdict, doc->size());
        } else {
            it->out = http::answer(http::kUnavailable, it->verdict);
        }
        enterState(it, Connection::State::Writing);
        write(it);
    }
}

void Server::Loop::expire()
{
    const auto now = orvane::Clock::now();
    while (!connections.empty() && connections.front().deadline <= now)
        close(connections.begin());
}

void Server::Loop::run()
{
    epoll_event events[kEvents];
    for (;;) {
        auto next = connections.empty() ? orvane::Clock::time_point::max() : connections.front().deadline;
        if (!accepting)
            next = std::min(next, retryAccepting);
        int timeout = -1;
        if (next != orvane::Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - orvane::Clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        const int n = ::epoll_wait(epollFd.get(), events, kEvents, timeout);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t id = events[i].data.u64;
            if (id == kStopEvent && !handingOver)
                return;
            if (id == kStopEvent) {
                // Newcomers wait in the backlog for whoever takes the socket over.
                ::epoll_ctl(epollFd.get(), EPOLL_CTL_DEL, listenFd, nullptr);
                ::epoll_ctl(epollFd.get(), EPOLL_CTL_DEL, stopFd.get(), nullptr);
                accepting = true;
                stopping = true;
                continue;
            }
            if (id == kListenEvent) {
                accept();
            } else if (id == kWakeEvent) {
                deliver();
            } else if (const auto found = byId.find(id); found != byId.end()) {
                const auto it = found->second;
                if (events[i].events & (EPOLLERR | EPOLLHUP) && it->state != Connection::State::Writing)
                    close(it);
                else if (it->state == Connection::State::Reading)
                    read(it);
                else if (it->state == Connection::State::Writing)
                    write(it);
                else if (it->state == Connection::State::Closing)
                    drain(it);
            }
        }
        expire();
        if (stopping && connections.empty())
            return;
        if (!accepting && orvane::Clock::now() >= retryAccepting)
            setAccepting(true);
    }
}

void Server::Loop::stop()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto signalled = ::write(stopFd.get(), &one, sizeof one);
}

Server::Server(int listenFd, DocumentSource document, ServerLimits limits)
    : port_(boundPort(listenFd))
    , loop_(std::make_unique<Loop>(listenFd, std::move(document), limits, port_))
{
    loop_->epollFd.reset(::epoll_create1(EPOLL_CLOEXEC));
    loop_->stopFd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (listenFd < 0 || !loop_->epollFd.valid() || loop_->fetcher.readyFd() < 0 || !loop_->stopFd.valid())
        throw std::runtime_error("cannot start the HTTP service");
    setNonBlocking(listenFd);
    for (const auto &[fd, id] : { std::pair { listenFd, kListenEvent },
             { loop_->fetcher.readyFd(), kWakeEvent }, { loop_->stopFd.get(), kStopEvent } }) {
        epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        ::epoll_ctl(loop_->epollFd.get(), EPOLL_CTL_ADD, fd, &ev);
    }
    eventThread_ = std::thread([loop = loop_.get()] { loop->run(); });
}

Server::~Server()
{
    if (eventThread_.joinable()) {
        loop_->stop();
        eventThread_.join();
    }
}

int Server::handOver()
{
    loop_->handingOver = true;
    loop_->stop();
    eventThread_.join();
    return loop_->listenFd;
}

} // namespace macmon
