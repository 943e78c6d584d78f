// SPDX-License-Identifier: MIT
#include "http/server.h"

#include "common/clock.h"
#include "http/loopback.h"
#include "http/wire.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <mutex>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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

struct Connection
{
    enum class State
    {
        Reading,
        Waiting, // for the document
        Writing,
        Closing // answered; what the client still sends is read and dropped so it gets to see the answer
    };
    int fd = -1;
    State state = State::Reading;
    Clock::time_point deadline;
    std::string in;
    std::string out;
    std::shared_ptr<const std::string> body;
    std::size_t sent = 0;
    http::Verdict verdict;
};

using Connections = std::list<Connection>;

} // namespace

struct Server::Loop
{
    Loop(int listen, DocumentSource source, ServerLimits l, std::uint16_t port)
        : listenFd(listen)
        , document(std::move(source))
        , limits(l)
        , hosts(http::hostsFor(port))
    { }
    ~Loop()
    {
        for (auto &c : connections)
            ::close(c.fd);
        for (int fd : { listenFd, epollFd, wakeFd, stopFd })
            if (fd >= 0)
                ::close(fd);
    }

    void run();
    void fetchDocuments();
    void stop();

    const int listenFd;
    int epollFd = -1;
    int wakeFd = -1; // the document thread has an answer
    int stopFd = -1;
    DocumentSource document;
    const ServerLimits limits;
    const std::set<std::string> hosts;

    // Ordered by deadline: every deadline is set to now + headTime, so appending keeps the order.
    Connections connections;
    std::unordered_map<int, Connections::iterator> byFd;
    std::vector<int> waiting;
    bool fetching = false;

    std::mutex mutex;
    std::condition_variable wanted;
    bool wantDocument = false;
    bool stopping = false;
    std::shared_ptr<const std::string> result;

private:
    void watch(Connection &c, std::uint32_t events, int op = EPOLL_CTL_MOD);
    void close(Connections::iterator it);
    void accept();
    void read(Connections::iterator it);
    void drain(Connections::iterator it);
    void respond(Connections::iterator it);
    void write(Connections::iterator it);
    void restart(Connections::iterator it, Connection::State state);
    void expire();
    void deliver();
    bool evictOldestUnserved();
};

void Server::Loop::watch(Connection &c, std::uint32_t events, int op)
{
    epoll_event ev {};
    ev.events = events;
    ev.data.fd = c.fd;
    ::epoll_ctl(epollFd, op, c.fd, &ev);
}

void Server::Loop::close(Connections::iterator it)
{
    ::close(it->fd);
    byFd.erase(it->fd);
    connections.erase(it);
}

void Server::Loop::restart(Connections::iterator it, Connection::State state)
{
    it->state = state;
    it->deadline = Clock::now() + limits.headTime;
    connections.splice(connections.end(), connections, it);
}

bool Server::Loop::evictOldestUnserved()
{
    for (auto it = connections.begin(); it != connections.end(); ++it)
        if (it->state == Connection::State::Reading || it->state == Connection::State::Closing) {
            close(it);
            return true;
        }
    return false;
}

void Server::Loop::accept()
{
    for (int n = 0; n < kAcceptsPerWake; ++n) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the oldest unfinished request gives its one back.
            if ((errno == EMFILE || errno == ENFILE) && evictOldestUnserved())
                continue;
            return;
        }
        if (connections.size() >= limits.connections && !evictOldestUnserved()) {
            ::close(fd);
            continue;
        }
        const auto it = connections.emplace(connections.end());
        it->fd = fd;
        it->deadline = Clock::now() + limits.headTime;
        byFd.emplace(fd, it);
        watch(*it, EPOLLIN, EPOLL_CTL_ADD);
    }
}

void Server::Loop::drain(Connections::iterator it)
{
    char buffer[kReadChunk];
    for (ssize_t n; (n = ::recv(it->fd, buffer, sizeof buffer, 0)) != 0;)
        if (n < 0 && errno != EINTR)
            return errno == EAGAIN ? void() : close(it);
    close(it);
}

void Server::Loop::read(Connections::iterator it)
{
    char buffer[kReadChunk];
    for (;;) {
        const std::size_t room = limits.headBytes + 1 - it->in.size();
        const ssize_t n = ::recv(it->fd, buffer, std::min(room, sizeof buffer), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return close(it);
        if (n < 0 && errno == EAGAIN)
            break;
        if (n > 0) {
            // One allocation of the cap, so a head's memory never grows past it.
            it->in.reserve(limits.headBytes + 1);
            it->in.append(buffer, static_cast<std::size_t>(n));
        }
        if (it->in.size() > limits.headBytes)
            break;
    }
    respond(it);
}

void Server::Loop::respond(Connections::iterator it)
{
    const auto end = it->in.find(http::kHeadEnd);
    if (end == std::string::npos) {
        if (it->in.size() <= limits.headBytes)
            return;
        it->verdict = {};
        it->out = http::answer(http::kTooLarge, it->verdict);
    } else {
        it->verdict = http::judge(std::string_view(it->in).substr(0, end + http::kHeadEnd.size()), hosts);
        it->in.erase(0, end + http::kHeadEnd.size());
        if (it->verdict.status == http::kOk) {
            restart(it, Connection::State::Waiting);
            watch(*it, 0);
            waiting.push_back(it->fd);
            if (!fetching) {
                fetching = true;
                std::lock_guard lock(mutex);
                wantDocument = true;
                wanted.notify_one();
            }
            return;
        }
        it->out = http::answer(it->verdict.status, it->verdict);
    }
    restart(it, Connection::State::Writing);
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
        const ssize_t n = ::sendmsg(it->fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN)
            return watch(*it, EPOLLOUT);
        if (n < 0 && errno != EINTR)
            return close(it);
        if (n > 0)
            it->sent += static_cast<std::size_t>(n);
    }
    if (!it->verdict.keepAlive) {
        // Closing with unread input would reset the connection and could destroy the answer in flight.
        ::shutdown(it->fd, SHUT_WR);
        restart(it, Connection::State::Closing);
        return watch(*it, EPOLLIN);
    }
    it->out.clear();
    it->body.reset();
    it->sent = 0;
    restart(it, Connection::State::Reading);
    watch(*it, EPOLLIN);
    // A request the client sent ahead is already here.
    respond(it);
}

void Server::Loop::deliver()
{
    std::shared_ptr<const std::string> doc;
    {
        std::lock_guard lock(mutex);
        doc = std::move(result);
    }
    fetching = false;
    std::uint64_t count;
    [[maybe_unused]] const auto drained = ::read(wakeFd, &count, sizeof count);
    for (int fd : std::exchange(waiting, {})) {
        const auto found = byFd.find(fd);
        if (found == byFd.end() || found->second->state != Connection::State::Waiting)
            continue;
        const auto it = found->second;
        if (doc) {
            it->body = doc;
            it->out = http::answer(http::kOk, it->verdict, doc->size());
        } else {
            it->out = http::answer(http::kUnavailable, it->verdict);
        }
        restart(it, Connection::State::Writing);
        write(it);
    }
}

void Server::Loop::expire()
{
    const auto now = Clock::now();
    while (!connections.empty() && connections.front().deadline <= now)
        close(connections.begin());
}

void Server::Loop::run()
{
    epoll_event events[kEvents];
    for (;;) {
        int timeout = -1;
        if (!connections.empty()) {
            const auto left
                = std::chrono::ceil<std::chrono::milliseconds>(connections.front().deadline - Clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        const int n = ::epoll_wait(epollFd, events, kEvents, timeout);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stopFd)
                return;
            if (fd == listenFd) {
                accept();
            } else if (fd == wakeFd) {
                deliver();
            } else if (const auto found = byFd.find(fd); found != byFd.end()) {
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
    }
}

void Server::Loop::fetchDocuments()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wanted.wait(lock, [this] { return wantDocument || stopping; });
        if (stopping)
            return;
        wantDocument = false;
        lock.unlock();
        auto doc = document();
        lock.lock();
        result = std::move(doc);
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto signalled = ::write(wakeFd, &one, sizeof one);
    }
}

void Server::Loop::stop()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wanted.notify_one();
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto signalled = ::write(stopFd, &one, sizeof one);
}

Server::Server(int listenFd, DocumentSource document, ServerLimits limits)
    : port_(boundPort(listenFd))
    , loop_(std::make_unique<Loop>(listenFd, std::move(document), limits, port_))
{
    loop_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    loop_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    loop_->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listenFd < 0 || loop_->epollFd < 0 || loop_->wakeFd < 0 || loop_->stopFd < 0)
        throw std::runtime_error("cannot start the HTTP service");
    setNonBlocking(listenFd);
    for (int fd : { listenFd, loop_->wakeFd, loop_->stopFd }) {
        epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(loop_->epollFd, EPOLL_CTL_ADD, fd, &ev);
    }
    eventThread_ = std::thread([loop = loop_.get()] { loop->run(); });
    documentThread_ = std::thread([loop = loop_.get()] { loop->fetchDocuments(); });
}

Server::~Server()
{
    loop_->stop();
    eventThread_.join();
    documentThread_.join();
}

} // namespace macmon
