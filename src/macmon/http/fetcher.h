// SPDX-License-Identifier: MIT
#pragma once

#include "common/fd.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace macmon {

// Fetches documents on a thread of its own, so a slow source (a sampler waking) never holds up the event
// loop, which learns of each fetch through an eventfd.
class DocumentFetcher
{
public:
    using Source = std::function<std::shared_ptr<const std::string>()>;

    explicit DocumentFetcher(Source source);
    ~DocumentFetcher();
    DocumentFetcher(const DocumentFetcher &) = delete;
    DocumentFetcher &operator=(const DocumentFetcher &) = delete;

    // Readable once a fetch has ended; -1 when it could not be made.
    int readyFd() const { return readyFd_.get(); }
    // Starts a fetch; asking again before it ends changes nothing.
    void request();
    // The document the last fetch gave (nullptr for none), and readyFd drained.
    std::shared_ptr<const std::string> take();

private:
    void run();

    Source source_;
    const orvane::Fd readyFd_;
    std::mutex mutex_;
    std::condition_variable wanted_;
    bool requested_ = false;
    bool stopping_ = false;
    std::shared_ptr<const std::string> result_;
    std::thread thread_;
};

} // namespace macmon
