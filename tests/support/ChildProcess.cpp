#include "support/ChildProcess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

std::string InChild(const std::function<std::string()>& Body, rlim_t FileSizeLimit)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "(no pipe)";
    const pid_t child = ::fork();
    if (child < 0)
        return "(no child)";
    if (child == 0) {
        ::close(pipeFds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{FileSizeLimit, FileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string answer = Body();
        size_t done = 0;
        while (done < answer.size()) {
            const ssize_t n = ::write(pipeFds[1], answer.data() + done, answer.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            answer.append(buffer, size_t(n));
        else if (errno != EINTR)
            break;
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? answer : "(child failed)";
}

long EndedProcessId()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return long(child);
}
