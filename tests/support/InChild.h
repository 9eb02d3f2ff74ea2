// Runs a piece of a test in a child process (to drop privileges, set resource limits or mount
// without touching the test process) and gives its exit code.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

// The child's exit code; -1 when it did not exit normally.
template <typename Body>
int InChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                             : -1;
}
