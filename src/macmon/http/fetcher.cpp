// SPDX-License-Identifier: MIT
#include "http/fetcher.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace macmon {

DocumentFetcher::DocumentFetcher(Source source)
    : source_(std::move(source))
    , readyFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , thread_([this] { run(); })
{ }

DocumentFetcher::~DocumentFetcher()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wanted_.notify_one();
    thread_.join();
}

void DocumentFetcher::request()
{
    std::lock_guard lock(mutex_);
    requested_ = true;
    wanted_.notify_one();
}

std::shared_ptr<const std::string> DocumentFetcher::take()
{
    std::uint64_t count;
    [[maybe_unused]] const auto drained = ::read(readyFd_.get(), &count, sizeof count);
    std::lock_guard lock(mutex_);
    return std::move(result_);
}

void DocumentFetcher::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wanted_.wait(lock, [this] { return requested_ || stopping_; });
        if (stopping_)
            return;
        requested_ = false;
        lock.unlock();
        auto doc = source_();
        lock.lock();
        result_ = std::move(doc);
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto signalled = ::write(readyFd_.get(), &one, sizeof one);
    }
}

} // namespace macmon
