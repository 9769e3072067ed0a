#pragma once
// Running part of a test in a forked child process.
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace vdltest {

// How a child ends once its body has returned.
enum class ChildExit {
    Immediate, // _exit: no exit handlers, no destructors of static objects
    Normal,    // exit: the exit handlers run and the libraries' objects are
               // destroyed (and save what they save) as in any program
};

// The status a child ends with when its body raised.
inline constexpr int kChildRaised = 99;

// Starts `body` in a forked child that ends with the status the body returns;
// the child's process number, or -1 when there is no child.
inline pid_t startChild(const std::function<int()>& body, ChildExit end = ChildExit::Immediate)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int status = kChildRaised;
        try {
            status = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        if (end == ChildExit::Normal)
            std::exit(status);
        _exit(status);
    }
    return pid;
}

// Waits for a child: its exit status, 128 + the signal that ended it, or -1
// when there is no such child.
inline int waitChild(pid_t pid)
{
    if (pid <= 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The status waitChild gives for a child that did not end within its limit.
inline constexpr int kChildHung = -2;

// Waits for a child that could hang: as waitChild, but a child that has not
// ended within `limit` is killed and kChildHung returned. The child's end is
// the event waited for; the limit only catches a hang.
inline int waitChild(pid_t pid, std::chrono::seconds limit)
{
    if (pid <= 0)
        return -1;
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (ended < 0)
        return waitChild(pid);
    pollfd watch{ended, POLLIN, 0};
    int ready = 0;
    do
        ready = poll(&watch, 1, static_cast<int>(limit.count() * 1000));
    while (ready < 0 && errno == EINTR);
    close(ended);
    if (ready == 0) {
        kill(pid, SIGKILL);
        waitChild(pid);
        return kChildHung;
    }
    return waitChild(pid);
}

inline int runInChild(const std::function<int()>& body, ChildExit end = ChildExit::Immediate)
{
    return waitChild(startChild(body, end));
}

} // namespace vdltest
