// SPDX-License-Identifier: MIT
#include "sources/powerhelper.h"

#include "common/fd.h"
#include "common/wait.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace macmon {
namespace {

// "2000\n" is the most a plausible figure needs; a longer answer is not the helper's.
constexpr std::size_t kMaxAnswer = 8;
// A connect refused by a full backlog is tried again this soon, within the exchange's budget.
constexpr std::chrono::milliseconds kConnectRetry { 5 };

} // namespace

std::optional<double> parseHelperAnswer(std::string_view answer)
{
    if (answer.size() > kMaxAnswer || !answer.ends_with('\n'))
        return std::nullopt;
    // Digits only: no sign, no space, no fraction, not empty.
    unsigned watts = 0;
    const char *last = answer.data() + answer.size() - 1;
    const auto [end, ec] = std::from_chars(answer.data(), last, watts);
    return ec == std::errc() && end == last ? std::optional<double>(watts) : std::nullopt;
}

PowerHelperClient::PowerHelperClient(std::filesystem::path socket, std::chrono::milliseconds budget)
    : socket_(std::move(socket))
    , budget_(budget)
{ }

void PowerHelperClient::forget()
{
    pending_.reset();
    answer_.clear();
}

bool PowerHelperClient::connect(orvane::Clock::time_point deadline, HelperAnswer &result)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string path = socket_.string();
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    orvane::Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return false;
    // A full backlog (EAGAIN) is a flood of other clients: the helper drains it at once, so try again.
    while (::connect(s.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        int error = errno;
        if (error == EAGAIN && orvane::Clock::now() + kConnectRetry < deadline) {
            std::this_thread::sleep_for(kConnectRetry);
            continue;
        }
        socklen_t size = sizeof(error);
        if (error != EINPROGRESS || !orvane::waitReady(s.get(), POLLOUT, deadline)
            || ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            result.reached = result.late = error == EAGAIN;
            return false;
        }
        break;
    }
    pending_ = std::move(s);
    return true;
}

HelperAnswer PowerHelperClient::ask()
{
    const auto deadline = orvane::Clock::now() + budget_;
    HelperAnswer result;
    if (!pending_.valid() && !connect(deadline, result))
        return result;
    result.reached = true;
    // One line, then the helper closes: read to the end, never past the budget or the longest answer.
    char buffer[kMaxAnswer + 1];
    while (answer_.size() <= kMaxAnswer) {
        if (!orvane::waitReady(pending_.get(), POLLIN, deadline)) {
            result.late = true;
            return result;
        }
        const ssize_t n = ::read(pending_.get(), buffer, sizeof(buffer));
        if (n == 0) {
            result.watts = parseHelperAnswer(answer_);
            break;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
        answer_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    forget();
    return result;
}

} // namespace macmon
