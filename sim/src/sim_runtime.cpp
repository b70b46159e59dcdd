#include "sim_runtime.hpp"

#include "can_bus.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <utility>

namespace torso_sim {

namespace {

// SCHED_FIFO priority of the bus threads where the system allows it.
constexpr int kBusThreadPriority = 10;

// Points `link` at `target`. A symbolic link already there (an earlier run's)
// is replaced through a temporary name and a rename, so the name never goes
// missing for a program that polls it; anything else there is left alone.
bool place_link(const std::string& target, const std::string& link, std::string& error) {
    struct stat existing {};
    if (::lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        return error = link + " exists and is not a symbolic link", false;
    const std::string temporary = link + ".new." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0)
        return error = "cannot create the link " + link + ": " + std::strerror(errno), false;
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        error = "cannot create the link " + link + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Removes `link` if it still points at `target`: a simulator started later
// with the same directory may have taken the name over.
void remove_link(const std::string& link, const std::string& target) {
    if (link.empty()) return;
    std::string points_to(4096, '\0');
    const ssize_t n = ::readlink(link.c_str(), points_to.data(), points_to.size());
    if (n < 0 || static_cast<std::size_t>(n) >= points_to.size()) return;
    points_to.resize(static_cast<std::size_t>(n));
    if (points_to == target) ::unlink(link.c_str());
}

}  // namespace

TorsoSim::Impl::~Impl() {
    if (::getpid() != owner_pid) {
        forget_in_forked_child();
        return;
    }
    if (wake_write) {
        const char byte = 1;
        while (::write(wake_write.get(), &byte, 1) < 0 && errno == EINTR) {
        }
    }
    if (serial_thread.joinable()) serial_thread.join();
    if (can_thread.joinable()) can_thread.join();
    remove_links();
    listener.reset();
    if (!socket_path.empty()) ::unlink(socket_path.c_str());
    if (!directory.empty()) ::rmdir(directory.c_str());
}

bool TorsoSim::Impl::open(std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp && *tmp && std::strlen(tmp) < 60) ? tmp : "/tmp";
    std::string pattern = base + "/torso_sim.XXXXXX";
    if (!mkdtemp(pattern.data())) return error = std::string("mkdtemp: ") + std::strerror(errno), false;
    directory = pattern;

    auto opened_pty = open_pseudo_terminal(error);
    if (!opened_pty) return false;
    pty = std::move(*opened_pty);

    socket_path = directory + "/can.sock";
    auto opened_bus = listen_can_bus(socket_path, error);
    if (!opened_bus) {
        socket_path.clear();
        return false;
    }
    listener = std::move(*opened_bus);
    foreign_node.emplace(socket_path);
    if (!link_directory.empty() && !make_links(error)) return false;

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return error = std::string("pipe2: ") + std::strerror(errno), false;
    wake_read.reset(pipe_fds[0]);
    wake_write.reset(pipe_fds[1]);
    return start_bus_threads(error);
}

bool TorsoSim::Impl::make_links(std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dir = fs::absolute(link_directory, ec);
    if (ec) return error = "link directory " + link_directory + ": " + ec.message(), false;
    fs::create_directories(dir, ec);
    if (ec) return error = "cannot create the link directory " + dir.string() + ": " + ec.message(), false;
    const std::string serial = (dir / "serial").string();
    const std::string can = (dir / "can").string();
    if (!place_link(pty.slave_path, serial, error)) return false;
    serial_link = serial;
    if (!place_link(socket_path, can, error)) return false;
    can_link = can;
    return true;
}

void TorsoSim::Impl::remove_links() {
    remove_link(serial_link, pty.slave_path);
    remove_link(can_link, socket_path);
}

bool TorsoSim::Impl::start_bus_threads(std::string& error) {
    // The bus threads take no signals: the host program's handlers run elsewhere.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    // Keeping wire time needs wake-ups on time, not the default 50 us late.
    const bool precise = state.wire.enabled;
    const auto timed = [precise](auto serve, int fd, int wake, SimState& shared) {
        if (precise) (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        serve(fd, wake, shared);
    };
    try {
        serial_thread = std::thread(timed, serve_serial_line, pty.master.get(), wake_read.get(), std::ref(state));
        can_thread = std::thread(timed, serve_can_bus, listener.get(), wake_read.get(), std::ref(state));
    } catch (const std::system_error& e) {
        error = std::string("cannot start thread: ") + e.what();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // Real servos and motors answer whatever the host is doing. Where the
    // process may (root or CAP_SYS_NICE), the bus threads run ahead of
    // ordinary threads and of a real-time hog at the lowest priority;
    // elsewhere they stay ordinary threads. They only ever wait for I/O.
    const sched_param bus_priority{kBusThreadPriority};
    for (std::thread* bus_thread : {&serial_thread, &can_thread})
        if (bus_thread->joinable()) pthread_setschedparam(bus_thread->native_handle(), SCHED_FIFO, &bus_priority);
    return serial_thread.joinable() && can_thread.joinable();
}

// A forked child holds copies of the descriptors but none of the bus
// threads, and shares the socket file and the wake pipe with the parent:
// it must neither wake, join nor remove anything. It only closes its own
// copies of the descriptors; the thread handles, which name threads that
// do not exist here, are left behind unjoined.
void TorsoSim::Impl::forget_in_forked_child() {
    for (std::thread* handle : {&serial_thread, &can_thread})
        if (handle->joinable()) new std::thread(std::move(*handle));  // never destroyed: a leak in the child only
}

}  // namespace torso_sim
