// SPDX-License-Identifier: MIT
#include "sources/nvidia.h"

#include "common/text.h"
#include "sources/nvml.h"
#include "sysfs/plausible.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <utility>

namespace macmon {
namespace {

constexpr std::uint32_t kNvidiaVendor = 0x10de;
constexpr std::uint32_t kDisplayClass = 0x03; // PCI base class of VGA, XGA and 3D controllers
constexpr std::size_t kMaxDevices = 16;
// A machine whose driver is missing or broken is not asked again every second.
constexpr auto kRetry = std::chrono::seconds(30);
// Stopping waits this long for an NVML call in progress, then leaves it behind.
constexpr auto kStopWait = std::chrono::seconds(2);

bool isHex(const std::string &s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), orvane::isHexDigit);
}

// "dddd:bb:dd.f": the only shape handed to the library as a bus id.
bool isPciAddress(const std::string &name)
{
    const auto colon = name.find(':');
    return colon >= 4 && colon <= 8 && name.size() == colon + 8 && isHex(name.substr(0, colon))
        && name[colon + 3] == ':' && name[colon + 6] == '.' && isHex(name.substr(colon + 1, 2))
        && isHex(name.substr(colon + 4, 2)) && name[colon + 7] >= '0' && name[colon + 7] <= '7';
}

std::optional<std::uint32_t> hexValue(const std::optional<std::string> &text)
{
    if (!text || text->size() < 3 || text->compare(0, 2, "0x") != 0)
        return std::nullopt;
    std::uint32_t value = 0;
    const char *end = text->data() + text->size();
    const auto [at, ec] = std::from_chars(text->data() + 2, end, value, 16);
    if (ec != std::errc() || at != end)
        return std::nullopt;
    return value;
}

std::string deviceDir(const std::string &address)
{
    return "bus/pci/devices/" + address;
}

bool awake(const SysfsReader &sys, const std::string &address)
{
    return sys.text(deviceDir(address) + "/power/runtime_status") == "active";
}

template<typename F> F symbol(void *library, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (void *found = ::dlsym(library, name)) {
            F function = nullptr;
            static_assert(sizeof(function) == sizeof(found));
            std::memcpy(&function, &found, sizeof(function));
            return function;
        }
    }
    return nullptr;
}

// The loaded library and its entry points; used by the worker thread only.
class Nvml
{
public:
    explicit Nvml(std::string library)
        : library_(std::move(library))
    { }
    ~Nvml() { unload(); }
    Nvml(const Nvml &) = delete;
    Nvml &operator=(const Nvml &) = delete;

    bool ready()
    {
        if (initialised_)
            return true;
        if (orvane::Clock::now() < retryAfter_ || !load() || init_() != NVML_SUCCESS) {
            unload();
            retryAfter_ = orvane::Clock::now() + kRetry;
            return false;
        }
        initialised_ = true;
        return true;
    }

    void unload()
    {
        if (initialised_)
            shutdown_();
        initialised_ = false;
        if (handle_)
            ::dlclose(handle_);
        handle_ = nullptr;
    }

    GpuReading read(const std::string &address)
    {
        GpuReading r;
        nvmlDevice_t device = nullptr;
        if (handleByBusId_(address.c_str(), &device) != NVML_SUCCESS)
            return r;
        unsigned int celsius = 0;
        if (temperature_ && temperature_(device, NVML_TEMPERATURE_GPU, &celsius) == NVML_SUCCESS)
            r.tempC = plausibleCelsius(celsius);
        nvmlUtilization_t busy {};
        unsigned int mhz = 0;
        if (utilization_ && clock_ && utilization_(device, &busy) == NVML_SUCCESS
            && clock_(device, NVML_CLOCK_GRAPHICS, &mhz) == NVML_SUCCESS && busy.gpu <= 100
            && plausibleClock(mhz))
            r.usage = GpuUsage { static_cast<double>(mhz), busy.gpu / 100.0 };
        unsigned int milliwatts = 0;
        if (power_ && power_(device, &milliwatts) == NVML_SUCCESS)
            r.powerW = plausibleWatts(milliwatts / 1000.0);
        return r;
    }

private:
    bool load()
    {
        // The loader's own search, so LD_LIBRARY_PATH and the driver's install place both work.
        handle_ = ::dlopen(library_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_)
            return false;
        init_ = symbol<nvmlInit_f>(handle_, { "nvmlInit_v2", "nvmlInit" });
        shutdown_ = symbol<nvmlShutdown_f>(handle_, { "nvmlShutdown" });
        handleByBusId_ = symbol<nvmlDeviceGetHandleByPciBusId_f>(
            handle_, { "nvmlDeviceGetHandleByPciBusId_v2", "nvmlDeviceGetHandleByPciBusId" });
        temperature_ = symbol<nvmlDeviceGetTemperature_f>(handle_, { "nvmlDeviceGetTemperature" });
        utilization_ = symbol<nvmlDeviceGetUtilizationRates_f>(handle_, { "nvmlDeviceGetUtilizationRates" });
        clock_ = symbol<nvmlDeviceGetClockInfo_f>(handle_, { "nvmlDeviceGetClockInfo" });
        power_ = symbol<nvmlDeviceGetPowerUsage_f>(handle_, { "nvmlDeviceGetPowerUsage" });
        return init_ && shutdown_ && handleByBusId_;
    }

    std::string library_;
    void *handle_ = nullptr;
    bool initialised_ = false;
    orvane::Clock::time_point retryAfter_ {};
    nvmlInit_f init_ = nullptr;
    nvmlShutdown_f shutdown_ = nullptr;
    nvmlDeviceGetHandleByPciBusId_f handleByBusId_ = nullptr;
    nvmlDeviceGetTemperature_f temperature_ = nullptr;
    nvmlDeviceGetUtilizationRates_f utilization_ = nullptr;
    nvmlDeviceGetClockInfo_f clock_ = nullptr;
    nvmlDeviceGetPowerUsage_f power_ = nullptr;
};

} // namespace

std::vector<std::string> nvidiaDevices(const SysfsReader &sys)
{
    std::vector<std::string> found;
    for (const auto &address : sys.list("bus/pci/devices")) {
        if (found.size() == kMaxDevices)
            break;
        if (!isPciAddress(address) || hexValue(sys.text(deviceDir(address) + "/vendor")) != kNvidiaVendor)
            continue;
        const auto pciClass = hexValue(sys.text(deviceDir(address) + "/class"));
        if (pciClass && *pciClass >> 16 == kDisplayClass)
            found.push_back(address);
    }
    return found;
}

// Every NVML call runs on this thread, so a call that hangs costs a sample its NVIDIA readings, not more.
class NvidiaGpus::Worker
{
public:
    explicit Worker(std::string library)
        : state_(std::make_shared<State>())
    {
        thread_ = std::thread([state = state_, library = std::move(library)] { run(*state, library); });
    }

    ~Worker()
    {
        std::unique_lock lock(state_->mutex);
        state_->stop = true;
        state_->changed.notify_all();
        const bool exited = state_->changed.wait_for(lock, kStopWait, [this] { return state_->exited; });
        lock.unlock();
        // The thread owns everything it touches, so one stuck in the driver can be left behind.
        if (exited)
            thread_.join();
        else
            thread_.detach();
    }

    // The readings of these devices, or none when NVML does not answer within the budget.
    std::vector<GpuReading> read(
        std::vector<std::string> addresses, bool releaseAfter, std::chrono::milliseconds budget)
    {
        std::unique_lock lock(state_->mutex);
        // A call still running from an earlier sample is not queued behind.
        if (state_->busy || state_->job) {
            if (releaseAfter)
                ++state_->releasesAsked;
            return {};
        }
        const std::uint64_t id = ++state_->jobsAsked;
        state_->job = Job { std::move(addresses), releaseAfter };
        state_->changed.notify_all();
        if (!state_->changed.wait_for(lock, budget, [&] { return state_->jobsDone == id; }))
            return {};
        return std::move(state_->result);
    }

    // Waits up to the budget for NVML to be shut down and unloaded.
    void release(std::chrono::milliseconds budget)
    {
        std::unique_lock lock(state_->mutex);
        const std::uint64_t id = ++state_->releasesAsked;
        state_->changed.notify_all();
        state_->changed.wait_for(lock, budget, [&] { return state_->releasesDone >= id; });
    }

private:
    struct Job
    {
        std::vector<std::string> addresses;
        bool releaseAfter = false;
    };

    struct State
    {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<Job> job;
        bool busy = false;
        bool stop = false;
        bool exited = false;
        std::uint64_t jobsAsked = 0;
        std::uint64_t jobsDone = 0;
        std::uint64_t releasesAsked = 0;
        std::uint64_t releasesDone = 0;
        std::vector<GpuReading> result;
    };

    static void run(State &state, const std::string &library)
    {
        Nvml nvml(library);
        std::unique_lock lock(state.mutex);
        for (;;) {
            state.changed.wait(
                lock, [&] { return state.job || state.releasesAsked != state.releasesDone || state.stop; });
            if (state.job) {
                const Job job = std::move(*state.job);
                state.job.reset();
                state.busy = true;
                lock.unlock();
                std::vector<GpuReading> readings;
                if (nvml.ready())
                    for (const auto &address : job.addresses)
                        if (auto r = nvml.read(address); r.tempC || r.usage || r.powerW)
                            readings.push_back(std::move(r));
                if (job.releaseAfter)
                    nvml.unload();
                lock.lock();
                state.busy = false;
                state.result = std::move(readings);
                state.jobsDone = state.jobsAsked;
            }
            if (state.releasesAsked != state.releasesDone || state.stop) {
                const std::uint64_t asked = state.releasesAsked;
                lock.unlock();
                nvml.unload();
                lock.lock();
                state.releasesDone = asked;
            }
            state.changed.notify_all();
            if (state.stop)
                break;
        }
        state.exited = true;
        state.changed.notify_all();
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

NvidiaGpus::NvidiaGpus(std::string library, std::chrono::milliseconds budget)
    : library_(std::move(library))
    , budget_(budget)
{ }

NvidiaGpus::~NvidiaGpus() = default;

void NvidiaGpus::discover(const SysfsReader &sys)
{
    devices_ = nvidiaDevices(sys);
}

std::vector<GpuReading> NvidiaGpus::sample(const SysfsReader &sys)
{
    std::vector<std::string> active;
    for (const auto &address : devices_)
        if (awake(sys, address))
            active.push_back(address);
    if (active.empty()) {
        release();
        return {};
    }
    if (!worker_)
        worker_ = std::make_unique<Worker>(library_);
    // NVML is not held past a sample in which one of the devices was found asleep.
    const bool releaseAfter = active.size() < devices_.size();
    mayHold_ = mayHold_ || !releaseAfter;
    return worker_->read(std::move(active), releaseAfter, budget_);
}

void NvidiaGpus::release()
{
    if (worker_ && std::exchange(mayHold_, false))
        worker_->release(budget_);
}

namespace {

class Nvidia final : public Source
{
public:
    void discover(const SysfsReader &sys, const Tree &) override { gpus_.discover(sys); }
    void sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out) override
    {
        for (auto &g : gpus_.sample(sys))
            out.gpus.push_back(std::move(g));
    }
    void release() override { gpus_.release(); }

private:
    NvidiaGpus gpus_;
};

} // namespace

std::unique_ptr<Source> makeNvidia(const Roots &)
{
    return std::make_unique<Nvidia>();
}

} // namespace macmon
