#include "protocol/SafeFile.h"

#include "protocol/PlainText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

bool WriteAll(int Fd, const char* Data, size_t Size)
{
    while (Size > 0) {
        const ssize_t n = ::write(Fd, Data, Size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            // No progress and no reason: the disk took nothing.
            errno = ENOSPC;
            return false;
        }
        Data += n;
        Size -= size_t(n);
    }
    return true;
}

std::string LinkText(const std::string& Path)
{
    std::vector<char> to(PATH_MAX);
    const ssize_t n = ::readlink(Path.c_str(), to.data(), to.size());
    return n > 0 ? std::string(to.data(), size_t(std::min<ssize_t>(n, ssize_t(to.size())))) : std::string();
}

std::string OtherUser(uid_t Uid) { return "another user (uid " + std::to_string(Uid) + ")"; }

// Where a write to a path goes, by the rule for its last component.
struct TTarget {
    std::string Path;
    bool ViaLink = false;
    bool Exists = false;
    struct stat St { };
};

// Looks, opens nothing: a device must not be acted on by the look.
std::optional<TTarget> Resolve(const std::string& Path, std::string& Error)
{
    TTarget target;
    target.Path = Path;
    struct stat st { };
    if (::lstat(Path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            Error = SystemError(Path);
            return std::nullopt;
        }
        return target;
    }
    if (S_ISLNK(st.st_mode)) {
        // Someone else's link could lead us to any file we may write.
        if (st.st_uid != ::geteuid()) {
            Error = Path + " is a symbolic link of " + OtherUser(st.st_uid) + ": not followed";
            return std::nullopt;
        }
        const std::string to = LinkText(Path);
        target.Path = to.starts_with('/') ? to : FolderOf(Path) + "/" + to;
        target.ViaLink = true;
        if (::lstat(target.Path.c_str(), &st) != 0) {
            Error = errno == ENOENT ? Path + " is a symbolic link that leads to no file" : SystemError(target.Path);
            return std::nullopt;
        }
        if (S_ISLNK(st.st_mode)) {
            Error = Path + " leads to another symbolic link, " + target.Path + ": only one link is followed";
            return std::nullopt;
        }
    }
    if (!S_ISREG(st.st_mode)) {
        Error = NotRegular(target.Path, st.st_mode);
        return std::nullopt;
    }
    if (target.ViaLink && st.st_uid != ::geteuid()) {
        Error = Path + " leads to " + target.Path + ", which belongs to " + OtherUser(st.st_uid) + ": not followed";
        return std::nullopt;
    }
    target.Exists = true;
    target.St = st;
    return target;
}

// The file opened is the one looked at, and still what the rule allows.
bool CheckOpened(int Fd, const std::string& Path, const TTarget& Target, std::string& Error)
{
    struct stat st { };
    if (::fstat(Fd, &st) != 0) {
        Error = SystemError(Target.Path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        Error = NotRegular(Target.Path, st.st_mode);
        return false;
    }
    if (Target.ViaLink && st.st_uid != ::geteuid()) {
        Error = Path + " leads to " + Target.Path + ", which belongs to " + OtherUser(st.st_uid) + ": not followed";
        return false;
    }
    if (Target.Exists && (st.st_dev != Target.St.st_dev || st.st_ino != Target.St.st_ino)) {
        Error = Target.Path + " was replaced while it was opened";
        return false;
    }
    return true;
}

std::string Failure(const std::string& Path, int Errno) { return Path + ": " + std::strerror(Errno); }

int RealSync(int Fd) { return ::fsync(Fd); }
int RealRename(const char* From, const char* To) { return ::rename(From, To); }

} // namespace

TCommitCalls& CommitCalls()
{
    static TCommitCalls calls{RealSync, RealRename};
    return calls;
}

std::string TFileError::Text() const
{
    if (Line > 0)
        return PrintableText(File + ":" + std::to_string(Line) + ": "
            + (Column > 0 ? "column " + std::to_string(Column) + ": " : "") + Message);
    // The file's own errors name it already.
    return PrintableText(Message.starts_with(File) ? Message : File + ": " + Message);
}

std::optional<std::string> SaveTarget(const std::string& Path, std::string& Error)
{
    const std::optional<TTarget> target = Resolve(Path, Error);
    if (!target)
        return std::nullopt;
    if (target->Exists && ::access(target->Path.c_str(), W_OK) != 0) {
        Error = SystemError(Path);
        return std::nullopt;
    }
    const std::string folder = FolderOf(target->Path);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        Error = SystemError(folder);
        return std::nullopt;
    }
    return target->Path;
}

namespace {

// The old file held open: its owner and kind are those of the file the
// rename replaces, checked once more just before it. -1 when there is none
// (Error empty) or it may not be replaced (Error said).
int HoldOld(const std::string& Path, const TTarget& Target, std::string& Error)
{
    if (!Target.Exists)
        return -1;
    const int old = ::open(Target.Path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (old < 0) {
        Error = SystemError(Target.Path);
        return -1;
    }
    if (!CheckOpened(old, Path, Target, Error)) {
        ::close(old);
        return -1;
    }
    return old;
}

// A new file of a name of its own beside the target; -1 with Error said.
int CreateBeside(const TTarget& Target, std::string& Temp, std::string& Error)
{
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        Temp = RandomName(Target.Path);
        fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        Error = errno == EEXIST ? "no free name for a new file beside " + Target.Path : Failure(FolderOf(Target.Path), errno);
    return fd;
}

// Writes Bytes into the new file with the old one's mode, on disk before it
// is closed. Failures name the file the user asked for: the new file beside
// it is gone again when they are read.
bool WriteNew(int Fd, const std::string& Path, const TTarget& Target, std::span<const uint8_t> Bytes, std::string& Error)
{
    bool ok = true;
    const auto fail = [&](const std::string& Where) {
        if (ok)
            Error = Failure(Where, errno);
        ok = false;
    };
    if (Target.Exists && ::fchmod(Fd, Target.St.st_mode & 07777) != 0)
        fail(Path);
    if (ok && !WriteAll(Fd, reinterpret_cast<const char*>(Bytes.data()), Bytes.size()))
        fail(Path);
    struct stat written { };
    if (ok && ::fstat(Fd, &written) != 0)
        fail(Path);
    if (ok && uint64_t(written.st_size) != Bytes.size()) {
        Error = Path + ": " + std::strerror(ENOSPC) + " (" + std::to_string(written.st_size) + " bytes of "
            + std::to_string(Bytes.size()) + " written)";
        ok = false;
    }
    if (ok && CommitCalls().Sync(Fd) != 0)
        fail(Path);
    if (::close(Fd) != 0)
        fail(Path);
    return ok;
}

// Something else may have taken the name since the look.
bool NameUnchanged(const TTarget& Target, std::string& Error)
{
    struct stat now { };
    if (Target.Exists
        && (::lstat(Target.Path.c_str(), &now) != 0 || now.st_dev != Target.St.st_dev || now.st_ino != Target.St.st_ino)) {
        Error = Target.Path + " was replaced while the new content was written";
        return false;
    }
    if (!Target.Exists && ::lstat(Target.Path.c_str(), &now) == 0) {
        Error = Target.Path + " appeared while the new content was written";
        return false;
    }
    return true;
}

} // namespace

bool ReplaceFile(const std::string& Path, std::span<const uint8_t> Bytes, std::string& Error)
{
    Error.clear();
    const std::optional<TTarget> target = Resolve(Path, Error);
    if (!target)
        return false;
    const int old = HoldOld(Path, *target, Error);
    if (old < 0 && !Error.empty())
        return false;
    std::string temp;
    const int fd = CreateBeside(*target, temp, Error);
    bool ok = fd >= 0 && WriteNew(fd, Path, *target, Bytes, Error) && NameUnchanged(*target, Error);
    if (ok && CommitCalls().Rename(temp.c_str(), target->Path.c_str()) != 0) {
        Error = Failure(Path, errno);
        ok = false;
    }
    if (!ok && fd >= 0)
        ::unlink(temp.c_str());
    if (old >= 0)
        ::close(old);
    return ok;
}

TAppendFile::~TAppendFile() { Close(); }

std::string TAppendFile::Open(const std::string& Path, bool Exclusive)
{
    Close();
    FPath = Path;
    FExisted = false;
    FNeedsNewline = false;
    constexpr int flags = O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (Exclusive) {
        // A new file only: O_EXCL takes no link, not even a dangling one.
        FFd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | flags, 0666);
        if (FFd < 0) {
            FExisted = errno == EEXIST;
            return Failure(Path, errno);
        }
    } else {
        std::string error;
        std::optional<TTarget> target;
        // A file made by another program between the look and the open (a
        // second window starting its journal) is looked at again.
        for (int attempt = 0; FFd < 0 && attempt < 3; ++attempt) {
            target = Resolve(Path, error);
            if (!target)
                return error;
            // Read too, to see how the file ends; a file we may only write is
            // written without that look.
            const int create = target->Exists ? 0 : O_CREAT | O_EXCL;
            FFd = ::open(target->Path.c_str(), O_RDWR | create | flags, 0666);
            if (FFd < 0 && errno == EACCES)
                FFd = ::open(target->Path.c_str(), O_WRONLY | create | flags, 0666);
            if (FFd < 0 && errno != EEXIST)
                break;
        }
        if (FFd < 0)
            return Failure(Path, errno);
        if (!CheckOpened(FFd, Path, *target, error)) {
            Close();
            return error;
        }
    }
    struct stat st { };
    if (::fstat(FFd, &st) != 0) {
        const int err = errno;
        Close();
        return Failure(Path, err);
    }
    char last = '\n';
    if (st.st_size > 0 && ::pread(FFd, &last, 1, st.st_size - 1) == 1)
        FNeedsNewline = last != '\n';
    FDev = st.st_dev;
    FIno = st.st_ino;
    return {};
}

std::string TAppendFile::Append(std::span<const char> Bytes)
{
    if (FFd < 0)
        return FPath + ": not open";
    std::string text;
    if (FNeedsNewline)
        text = '\n';
    text.append(Bytes.data(), Bytes.size());
    if (!WriteAll(FFd, text.data(), text.size()))
        return Failure(FPath, errno);
    FNeedsNewline = false;
    return {};
}

bool TAppendFile::Moved() const
{
    if (FFd < 0)
        return false;
    struct stat st { };
    if (::lstat(FPath.c_str(), &st) != 0)
        return true;
    if (S_ISLNK(st.st_mode)) {
        const std::string to = LinkText(FPath);
        if (::lstat((to.starts_with('/') ? to : FolderOf(FPath) + "/" + to).c_str(), &st) != 0)
            return true;
    }
    return st.st_dev != FDev || st.st_ino != FIno;
}

std::string TAppendFile::Close()
{
    if (FFd < 0)
        return {};
    const int result = ::close(FFd);
    FFd = -1;
    return result == 0 ? std::string() : Failure(FPath, errno);
}

int OpenRegularFile(const std::string& Path, uint64_t MaxBytes, std::string& Error, uint64_t* Size)
{
    // A look before the open: opening a device can act on it (a serial
    // port raises its modem lines).
    struct stat st { };
    if (::stat(Path.c_str(), &st) != 0) {
        Error = SystemError(Path);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        Error = NotRegular(Path, st.st_mode);
        return -1;
    }
    const int fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Error = SystemError(Path);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Error = NotRegular(Path, st.st_mode);
    } else {
        if (Size)
            *Size = uint64_t(st.st_size);
        if (uint64_t(st.st_size) <= MaxBytes)
            return fd;
        Error = Path + " holds " + std::to_string(st.st_size) + " bytes, more than " + std::to_string(MaxBytes);
    }
    ::close(fd);
    return -1;
}

std::optional<std::vector<uint8_t>> ReadRegularFile(const std::string& Path, size_t MaxBytes, std::string& Error,
    uint64_t* Size)
{
    constexpr uint64_t unlearned = ~uint64_t(0);
    uint64_t size = unlearned;
    const int fd = OpenRegularFile(Path, MaxBytes, Error, &size);
    if (Size && size != unlearned)
        *Size = size;
    if (fd < 0)
        return std::nullopt;
    std::optional<std::vector<uint8_t>> content;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
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
    ::close(fd);
    return content;
}
