#include "protocol/SafeFile.h"

#include "protocol/PlainText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

std::string KindOf(mode_t Mode)
{
    if (S_ISDIR(Mode))
        return "a folder";
    if (S_ISFIFO(Mode))
        return "a FIFO";
    if (S_ISCHR(Mode) || S_ISBLK(Mode))
        return "a device";
    if (S_ISSOCK(Mode))
        return "a socket";
    return "not a regular file";
}

std::string NotRegular(const std::string& Path, mode_t Mode)
{
    return Path + " is " + KindOf(Mode) + ", not a regular file";
}

std::string SystemError(const std::string& Path) { return Path + ": " + std::strerror(errno); }

std::string FolderOf(const std::string& Path)
{
    const size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

// A name nobody can guess, so no one can lay a file or a link in its way.
std::string RandomName(const std::string& Target)
{
    const size_t slash = Target.rfind('/');
    const std::string base = Target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 64);
    std::random_device random;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x", unsigned(random()), unsigned(random()));
    return FolderOf(Target) + "/." + base + suffix;
}

bool WriteAll(int Fd, const uint8_t* Data, size_t Size)
{
    while (Size > 0) {
        const ssize_t n = ::write(Fd, Data, Size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        Data += n;
        Size -= size_t(n);
    }
    return true;
}

} // namespace

std::string TFileError::Text() const
{
    if (Line > 0)
        return PrintableText(File + ":" + std::to_string(Line) + ": " + Message);
    // The file's own errors name it already.
    return PrintableText(Message.starts_with(File) ? Message : File + ": " + Message);
}

std::optional<std::string> SaveTarget(const std::string& Path, std::string& Error)
{
    std::string target = Path;
    struct stat st { };
    if (::lstat(Path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Written through the link: the link stays, the file behind it gets
        // the new content.
        char* real = ::realpath(Path.c_str(), nullptr);
        if (!real) {
            Error = Path + " is a symbolic link that leads to no file";
            return std::nullopt;
        }
        target = real;
        std::free(real);
    }
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            Error = NotRegular(Path, st.st_mode);
            return std::nullopt;
        }
        if (::access(target.c_str(), W_OK) != 0) {
            Error = SystemError(Path);
            return std::nullopt;
        }
    } else if (errno != ENOENT) {
        Error = SystemError(Path);
        return std::nullopt;
    }
    const std::string folder = FolderOf(target);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        Error = SystemError(folder);
        return std::nullopt;
    }
    return target;
}

bool ReplaceFile(const std::string& Path, std::span<const uint8_t> Bytes, std::string& Error)
{
    const std::optional<std::string> target = SaveTarget(Path, Error);
    if (!target)
        return false;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = RandomName(*target);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            Error = SystemError(temp);
            return false;
        }
    }
    if (fd < 0) {
        Error = "no free name for a new file beside " + *target;
        return false;
    }
    struct stat old { };
    if (::stat(target->c_str(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777);
    bool ok = WriteAll(fd, Bytes.data(), Bytes.size()) && ::fsync(fd) == 0;
    if (!ok)
        Error = SystemError(temp);
    ok = ::close(fd) == 0 && ok;
    // Something else may have taken the name since the check.
    if (ok && ::lstat(target->c_str(), &old) == 0 && !S_ISREG(old.st_mode)) {
        Error = NotRegular(*target, old.st_mode);
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), target->c_str()) != 0) {
        Error = SystemError(*target);
        ok = false;
    }
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

std::optional<std::vector<uint8_t>> ReadRegularFile(const std::string& Path, size_t MaxBytes, std::string& Error,
    uint64_t* Size)
{
    // A look before the open: opening a device can act on it (a serial
    // port raises its modem lines).
    struct stat st { };
    if (::stat(Path.c_str(), &st) != 0) {
        Error = SystemError(Path);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        Error = NotRegular(Path, st.st_mode);
        return std::nullopt;
    }
    const int fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Error = SystemError(Path);
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> content;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Error = NotRegular(Path, st.st_mode);
    } else {
        if (Size)
            *Size = uint64_t(st.st_size);
        if (uint64_t(st.st_size) > MaxBytes) {
            Error = Path + " holds " + std::to_string(st.st_size) + " bytes, more than " + std::to_string(MaxBytes);
        } else {
            std::vector<uint8_t> bytes(size_t(st.st_size));
            size_t got = 0;
            while (got < bytes.size()) {
                const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                got += size_t(n);
            }
            if (got == bytes.size())
                content = std::move(bytes);
            else
                Error = "cannot read " + Path;
        }
    }
    ::close(fd);
    return content;
}
