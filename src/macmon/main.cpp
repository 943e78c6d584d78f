// SPDX-License-Identifier: MIT
// macmon: serves this machine's sensor readings as JSON on 127.0.0.1, and installs itself as a per-user
// service.
#include "cli.h"
#include "http/loopback.h"
#include "http/server.h"
#include "sensors/sampler.h"
#include "service/daemon.h"
#include "service/installer.h"
#include "service/reexec.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <unistd.h>
#include <utility>

namespace {

using namespace macmon;

// Raised by the sampler's thread when this program's file was replaced or removed; waited for with the rest.
constexpr int kProgramChanged = SIGUSR1;

int failWith(const std::string &line)
{
    std::cerr << kErrorPrefix << line << '\n';
    return 1;
}

// Serves on listenFd until a stop signal (false) or until the program changed on disk (true); the
// listening socket is still open on return.
bool serveUntilChanged(int &listenFd, const Options &options, const std::optional<OwnProgram> &program,
    const sigset_t &signals, int ready)
{
    const auto look = [&program] {
        if (program && program->state() != OwnProgram::State::Same)
            ::kill(::getpid(), kProgramChanged);
    };
    Sampler sampler(options.roots, {}, {}, look);
    Server server(listenFd, [&sampler] { return sampler.document(); });
    // Whoever started it gave up waiting (its time ran out): nobody installed this daemon, so it goes.
    if (ready >= 0 && !reportReady(ready, ""))
        return false;
    for (;;) {
        int received = 0;
        while (sigwait(&signals, &received) != 0) { }
        if (received != kProgramChanged)
            return false;
        if (program && program->state() != OwnProgram::State::Same) {
            listenFd = server.handOver();
            return true;
        }
    }
}

int serve(const Options &options, const Environment &env, char *const argv[])
{
    // Blocked before any thread starts, so only sigwait below ever sees these signals.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : { SIGTERM, SIGINT, SIGHUP, kProgramChanged })
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // A listener passed on by this program's previous self is kept, with every connection it holds.
    const auto inherited = inheritedListener(options.port);
    auto listening
        = inherited ? orvane::Result<orvane::Fd>(orvane::Fd(*inherited)) : listenLoopback(options.port);
    if (!listening)
        return failWith(listening.message());
    int listenFd = listening.value().release();
    int ready = -1;
    const auto pidFile = InstallPaths::forEnvironment(env).pidFile;
    // Run again after an upgrade, the daemon is already detached and its pid file already names it.
    if (options.detach && !inherited) {
        ready = detach();
        if (ready < 0)
            return failWith(std::string("cannot detach: ") + std::strerror(errno));
        if (auto status = writePidFile(pidFile); !status.ok()) {
            (void)reportReady(ready, status.message());
            return 1;
        }
    }
    const auto program = OwnProgram::current();
    while (serveUntilChanged(listenFd, options, program, signals, std::exchange(ready, -1))) {
        // A removed program stops serving; a replaced one runs its new self in this same process.
        if (program->state() == OwnProgram::State::Gone)
            break;
        if (auto status = program->reexec(listenFd, argv); !status.ok())
            std::cerr << kErrorPrefix << status.message() << '\n';
    }
    ::close(listenFd);
    if (options.detach)
        removePidFile(pidFile);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Environment env = currentEnvironment();
    const auto parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc), env);
    if (!parsed) {
        std::cerr << kErrorPrefix << parsed.message() << "\n" << usage();
        return 2;
    }
    Options options = *parsed;
    try {
        switch (options.action) {
        case Options::Action::Help:
            std::cout << usage();
            return 0;
        case Options::Action::Version:
            std::cout << "macmon " << MACMON_VERSION << '\n';
            return 0;
        case Options::Action::Serve:
            return serve(options, env, argv);
        case Options::Action::Install: {
            const auto program = OwnProgram::current();
            if (!program)
                return failWith("cannot tell where this program lies, so it cannot be installed");
            ServiceCommand command { program->path(), options.port,
                { std::filesystem::absolute(options.roots.sysfs),
                    std::filesystem::absolute(options.roots.procfs), options.roots.powerSocket } };
            if (auto status = Installer(env).install(command); !status.ok())
                return failWith(status.message());
            return 0;
        }
        case Options::Action::Uninstall:
            if (auto status = Installer(env).uninstall(); !status.ok())
                return failWith(status.message());
            return 0;
        }
    } catch (const std::exception &e) {
        return failWith(e.what());
    }
    return 1;
}
