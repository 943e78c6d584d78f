// SPDX-License-Identifier: MIT
#pragma once

#include "sources.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace macmon {

// Samples the sensors on its own thread and keeps the last document ready to send.
// The first sample is taken in the constructor, so a document exists before anyone asks.
class Sampler
{
public:
    explicit Sampler(Roots roots, std::chrono::milliseconds interval = std::chrono::seconds(1));
    ~Sampler();
    Sampler(const Sampler &) = delete;
    Sampler &operator=(const Sampler &) = delete;

    std::shared_ptr<const std::string> document() const;

private:
    void run();
    void publish();

    Sensors sensors_;
    const std::chrono::milliseconds interval_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::shared_ptr<const std::string> document_;
    std::thread thread_;
};

} // namespace macmon
