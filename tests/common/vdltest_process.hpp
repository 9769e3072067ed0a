#pragma once
// Running part of a test in a forked child process.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

inline int runInChild(const std::function<int()>& body, ChildExit end = ChildExit::Immediate)
{
    return waitChild(startChild(body, end));
}

} // namespace vdltest
