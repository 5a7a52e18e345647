// The one rule for every file the programs write (protocol/SafeFile.h): a link
// at the last component followed only when it and the file it names are the
// user's own, odd files (FIFO, device, folder) refused without waiting, a
// file replaced whole through a new file renamed over it with its mode kept,
// and every failure of a write, a sync or a rename given back. Tests run as
// root in CI: chown makes the other user's files.
#include "protocol/SafeFile.h"
#include "support/ChildProcess.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr uid_t OtherUser = 65534;

std::string Content(const std::string& Path)
{
    std::ifstream file(Path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return file ? text.str() : "(none)";
}

void Put(const std::string& Path, const std::string& Text) { std::ofstream(Path, std::ios::binary) << Text; }

int Kind(const std::string& Path)
{
    struct stat st { };
    return ::lstat(Path.c_str(), &st) == 0 ? int(st.st_mode & S_IFMT) : 0;
}

// Every name in the folder, hidden ones too: a temporary file left behind shows.
std::string Names(const std::string& Folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder))
        names.insert(entry.path().filename().string());
    std::string all;
    for (const std::string& name : names)
        all += (all.empty() ? "" : " ") + name;
    return all;
}

std::span<const uint8_t> Span(const std::string& Text) { return {reinterpret_cast<const uint8_t*>(Text.data()), Text.size()}; }

bool Owned() { return ::geteuid() == 0; }

struct TWriter {
    const char* Name;
    // Writes "new\n" to Path; "" or the error.
    std::string (*Write)(const std::string& Path);
};

const TWriter Writers[] = {
    {"replace",
        [](const std::string& Path) {
            std::string error;
            return ReplaceFile(Path, Span("new\n"), error) ? std::string() : error;
        }},
    {"append",
        [](const std::string& Path) {
            TAppendFile file;
            std::string error = file.Open(Path);
            if (error.empty())
                error = file.Append(std::string_view("new\n"));
            return error;
        }},
};

} // namespace

TEST(SafeFile, ALinkIsFollowedOnlyWhenItAndItsFileAreTheUsersOwn)
{
    if (!Owned())
        GTEST_SKIP() << "needs root to make another user's files";
    const struct {
        const char* Name;
        void (*Plant)(const std::string& Dir); // the file written is Dir/f; Dir/victim holds "keep\n"
        const char* Refusal;                   // in the error; none: written
        const char* Into;                      // the file that then holds "new\n"
    } rows[] = {
        {"nothing there", [](const std::string&) {}, nullptr, "f"},
        {"a regular file", [](const std::string& D) { Put(D + "/f", "old\n"); }, nullptr, "f"},
        {"own link to own file", [](const std::string& D) { fs::create_symlink(D + "/victim", D + "/f"); }, nullptr,
            "victim"},
        {"own relative link", [](const std::string& D) { fs::create_symlink("victim", D + "/f"); }, nullptr, "victim"},
        {"another user's link",
            [](const std::string& D) {
                fs::create_symlink(D + "/victim", D + "/f");
                ASSERT_EQ(::lchown((D + "/f").c_str(), OtherUser, OtherUser), 0);
            },
            "is a symbolic link of another user (uid 65534): not followed", nullptr},
        {"own link to another user's file",
            [](const std::string& D) {
                fs::create_symlink(D + "/victim", D + "/f");
                ASSERT_EQ(::chown((D + "/victim").c_str(), OtherUser, OtherUser), 0);
            },
            "which belongs to another user (uid 65534): not followed", nullptr},
        {"a link to a link",
            [](const std::string& D) {
                fs::create_symlink(D + "/victim", D + "/middle");
                fs::create_symlink(D + "/middle", D + "/f");
            },
            "only one link is followed", nullptr},
        {"a dangling link", [](const std::string& D) { fs::create_symlink(D + "/nowhere", D + "/f"); },
            "is a symbolic link that leads to no file", nullptr},
        {"a FIFO", [](const std::string& D) { ASSERT_EQ(::mkfifo((D + "/f").c_str(), 0600), 0); },
            "is a FIFO, not a regular file", nullptr},
        {"own link to a FIFO",
            [](const std::string& D) {
                ASSERT_EQ(::mkfifo((D + "/fifo").c_str(), 0600), 0);
                fs::create_symlink(D + "/fifo", D + "/f");
            },
            "fifo is a FIFO, not a regular file", nullptr},
        {"a folder", [](const std::string& D) { fs::create_directory(D + "/f"); }, "is a folder, not a regular file",
            nullptr},
        {"own link to a device", [](const std::string& D) { fs::create_symlink("/dev/null", D + "/f"); },
            "/dev/null is a device, not a regular file", nullptr},
    };
    for (const TWriter& writer : Writers) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(writer.Name) + ": " + row.Name);
            QTemporaryDir temp;
            const std::string dir = temp.path().toStdString();
            Put(dir + "/victim", "keep\n");
            row.Plant(dir);
            const int kindBefore = Kind(dir + "/f");
            const std::string namesBefore = Names(dir);
            const std::string intoBefore = row.Into && fs::exists(dir + "/" + row.Into) ? Content(dir + "/" + row.Into) : "";
            const std::string error = writer.Write(dir + "/f");
            if (row.Refusal) {
                EXPECT_NE(error.find(row.Refusal), std::string::npos) << error;
                EXPECT_EQ(Content(dir + "/victim"), "keep\n");
                EXPECT_EQ(Kind(dir + "/f"), kindBefore);
                EXPECT_EQ(Names(dir), namesBefore);
                continue;
            }
            EXPECT_EQ(error, "");
            // Appending keeps what was there; replacing does not.
            EXPECT_EQ(Content(dir + "/" + row.Into), std::string(writer.Name) == "replace" ? "new\n" : intoBefore + "new\n");
            if (kindBefore != 0) {
                EXPECT_EQ(Kind(dir + "/f"), kindBefore) << "a link stays a link";
            }
            EXPECT_EQ(Names(dir), kindBefore != 0 ? namesBefore : "f victim") << "nothing left beside it";
        }
    }
}

TEST(SafeFile, AReplacementKeepsTheModeOfTheFileItReplaces)
{
    QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    for (const mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0755)}) {
        Put(dir + "/f", "old");
        ASSERT_EQ(::chmod((dir + "/f").c_str(), mode), 0);
        std::string error;
        ASSERT_TRUE(ReplaceFile(dir + "/f", Span("new"), error)) << error;
        struct stat st { };
        ASSERT_EQ(::stat((dir + "/f").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(Content(dir + "/f"), "new");
    }
}

TEST(SafeFile, AFailedSyncOrRenameLeavesTheOldFileAndNoOther)
{
    const struct {
        const char* Name;
        TCommitCalls Calls;
        const char* Reason;
    } rows[] = {
        {"sync", {[](int) { return errno = EIO, -1; }, CommitCalls().Rename}, "Input/output error"},
        {"rename", {CommitCalls().Sync, [](const char*, const char*) { return errno = EXDEV, -1; }},
            "Invalid cross-device link"},
    };
    const TCommitCalls real = CommitCalls();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        QTemporaryDir temp;
        const std::string path = temp.path().toStdString() + "/f";
        Put(path, "old");
        CommitCalls() = row.Calls;
        std::string error;
        const bool replaced = ReplaceFile(path, Span("new"), error);
        CommitCalls() = real;
        EXPECT_FALSE(replaced);
        EXPECT_NE(error.find(row.Reason), std::string::npos) << error;
        EXPECT_EQ(Content(path), "old");
        EXPECT_EQ(Names(temp.path().toStdString()), "f");
    }
}

TEST(SafeFile, AFullDiskFailsTheWriteAndTheNextRecordStartsOnItsOwnLine)
{
    QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    Put(dir + "/whole", "old");
    Put(dir + "/log", std::string(90, 'a') + "\n");
    // Writes past 100 bytes fail with EFBIG, as a full disk fails them.
    const std::string answer = InChild(
        [&] {
            std::string error;
            const bool replaced = ReplaceFile(dir + "/whole", Span(std::string(1000, 'x')), error);
            TAppendFile log;
            std::string appended = log.Open(dir + "/log");
            if (appended.empty())
                appended = log.Append(std::string_view("a line cut short by the full disk\n"));
            return std::string(replaced ? "replaced" : "kept") + "|" + error + "|" + appended;
        },
        100);
    EXPECT_EQ(answer, "kept|" + dir + "/whole: File too large|" + dir + "/log: File too large");
    EXPECT_EQ(Content(dir + "/whole"), "old");
    EXPECT_EQ(Names(dir), "log whole");
    EXPECT_EQ(Content(dir + "/log").size(), 100u);

    TAppendFile log;
    ASSERT_EQ(log.Open(dir + "/log"), "");
    ASSERT_EQ(log.Append(std::string_view("next\n")), "");
    EXPECT_EQ(Content(dir + "/log"), std::string(90, 'a') + "\na line cu\nnext\n");
}

TEST(SafeFile, AnAppendedFileKnowsWhenItsNameNoLongerLeadsToIt)
{
    QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    const struct {
        const char* Name;
        void (*Change)(const std::string& Path);
        bool Moved;
    } rows[] = {
        {"left alone", [](const std::string&) {}, false},
        {"written by another", [](const std::string& P) { std::ofstream(P, std::ios::app) << "more\n"; }, false},
        {"removed", [](const std::string& P) { fs::remove(P); }, true},
        {"renamed", [](const std::string& P) { fs::rename(P, P + ".1"); }, true},
        {"replaced", [](const std::string& P) {
             fs::remove(P);
             Put(P, "another file\n");
         },
            true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const std::string path = dir + "/" + row.Name;
        TAppendFile file;
        ASSERT_EQ(file.Open(path), "");
        row.Change(path);
        EXPECT_EQ(file.Moved(), row.Moved);
    }
}

TEST(SafeFile, AnExclusiveOpenTakesNoLinkAndNoFileThere)
{
    QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    Put(dir + "/victim", "keep\n");
    fs::create_symlink(dir + "/victim", dir + "/link");
    fs::create_symlink(dir + "/nowhere", dir + "/dangling");
    for (const char* name : {"victim", "link", "dangling"}) {
        TAppendFile file;
        EXPECT_NE(file.Open(dir + "/" + name, true), "") << name;
        EXPECT_TRUE(file.Existed()) << name;
    }
    EXPECT_EQ(Content(dir + "/victim"), "keep\n");
    EXPECT_FALSE(fs::exists(dir + "/nowhere"));
}
