#pragma once
// Runs a piece of a test in a child process, for what must not touch the test
// program itself: a file size limit (RLIMIT_FSIZE, with SIGXFSZ ignored, so a
// write past it fails with EFBIG as on a full disk).

#include <sys/resource.h>

#include <functional>
#include <string>

// Body's answer, passed back through a pipe; "(child failed)" when the
// child did not end normally.
std::string InChild(const std::function<std::string()>& Body, rlim_t FileSizeLimit = RLIM_INFINITY);

// The id of a process that has just ended (and been reaped).
long EndedProcessId();
