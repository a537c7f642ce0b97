// The result file writer and the folder lock at their calls: a failure at each system call
// leaves the old target and no temporary, a write-protected target is refused, a pair is
// replaced together or not at all, and shared locks share while exclusive ones exclude.
#include "ResultFile.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using testfiles::files_in;
using testfiles::read_file;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

struct Fault {
    const char* call;
    int error; // what the failing call sets errno to
    void (*install)(FileSystemCalls&);
};

const Fault faults[] = {
    {"make_temporary", EMFILE,
     [](FileSystemCalls& c) { c.make_temporary = [](char*, int) { return errno = EMFILE, -1; }; }},
    {"write", ENOSPC,
     [](FileSystemCalls& c) {
         c.write = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; };
     }},
    {"fchmod", EPERM,
     [](FileSystemCalls& c) { c.fchmod = [](int, mode_t) { return errno = EPERM, -1; }; }},
    {"close", EIO,
     [](FileSystemCalls& c) { c.close = [](int fd) { return ::close(fd), errno = EIO, -1; }; }},
    {"rename", EACCES,
     [](FileSystemCalls& c) {
         c.rename = [](const char*, const char*) { return errno = EACCES, -1; };
     }},
};

class FailingCall : public testing::TestWithParam<Fault> {};

} // namespace

TEST_P(FailingCall, LeavesTheOldTargetAndNoTemporaryAndSaysWhy) {
    FileSystemCalls calls;
    GetParam().install(calls);
    TempDir dir;
    write_file(dir.file("r.txt"), "old\n");
    const ScopedFileSystemCalls failing(calls);
    ResultFile file(dir.file("r.txt"), 0644);
    file.text() = "new\n";
    EXPECT_FALSE(file.commit());
    EXPECT_EQ(file.reason(), std::strerror(GetParam().error));
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"r.txt"}); // no temporary left
    EXPECT_EQ(read_file(dir.file("r.txt")), "old\n");
}

INSTANTIATE_TEST_SUITE_P(ResultFiles, FailingCall, testing::ValuesIn(faults),
                         [](const auto& info) { return std::string(info.param.call); });

TEST(ResultFiles, AWriteProtectedTargetIsRefusedAlsoThroughALink) {
    // The owner's bit decides: a group-writable file its owner protected is kept as well.
    for (const fs::perms kept : {fs::perms(0444), fs::perms(0466)}) {
        for (const bool through_link : {false, true}) {
            TempDir dir;
            write_file(dir.file("kept.txt"), "kept\n");
            fs::permissions(dir.file("kept.txt"), kept);
            if (through_link) {
                fs::create_symlink("kept.txt", dir.file("r.txt"));
            }
            const auto before = files_in(dir.path());
            ResultFile file(dir.file(through_link ? "r.txt" : "kept.txt"), 0644);
            file.text() = "new\n";
            EXPECT_FALSE(file.commit());
            EXPECT_EQ(file.reason(), "it is write-protected; make it writable (chmod u+w) or "
                                     "move it to keep it");
            EXPECT_EQ(read_file(dir.file("kept.txt")), "kept\n");
            EXPECT_EQ(fs::status(dir.file("kept.txt")).permissions(), kept);
            EXPECT_EQ(files_in(dir.path()), before);
        }
    }
}

TEST(ResultFiles, APairIsReplacedTogetherOrNotAtAll) {
    FileSystemCalls failing;
    failing.rename = [](const char* from, const char* to) { // publishing b.txt fails
        const std::string source = from, target = to;
        if (target.substr(target.size() - 6) == "/b.txt" &&
            source.substr(source.size() - 4) != ".old") {
            return errno = EIO, -1;
        }
        return ::rename(from, to);
    };
    FileSystemCalls no_links; // the old targets are moved aside instead
    no_links.link = [](const char*, const char*) { return errno = EPERM, -1; };
    for (const bool links : {true, false}) {
        for (const bool a_existed : {true, false}) {
            SCOPED_TRACE(std::string(links ? "linked" : "moved") + (a_existed ? ", a" : ", no a"));
            TempDir dir;
            if (a_existed) {
                write_file(dir.file("a.txt"), "old a\n");
            }
            write_file(dir.file("b.txt"), "old b\n");
            const auto before = files_in(dir.path());
            const auto commit_pair = [&](FileSystemCalls calls, std::string reasons[2]) {
                if (!links) {
                    calls.link = no_links.link;
                }
                const ScopedFileSystemCalls installed(calls);
                ResultFile a(dir.file("a.txt"), 0644), b(dir.file("b.txt"), 0644);
                a.text() = "new a\n";
                b.text() = "new b\n";
                const bool committed = commit_together({&a, &b});
                reasons[0] = a.reason();
                reasons[1] = b.reason();
                return committed;
            };
            std::string reasons[2];
            EXPECT_FALSE(commit_pair(failing, reasons));
            EXPECT_EQ(reasons[0],
                      "left as it was, since " + dir.file("b.txt") + " could not be written");
            EXPECT_EQ(reasons[1], std::strerror(EIO));
            EXPECT_EQ(files_in(dir.path()), before);
            if (a_existed) {
                EXPECT_EQ(read_file(dir.file("a.txt")), "old a\n");
            }
            EXPECT_EQ(read_file(dir.file("b.txt")), "old b\n");

            EXPECT_TRUE(commit_pair(FileSystemCalls{}, reasons));
            EXPECT_EQ(reasons[0] + reasons[1], "");
            EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"a.txt", "b.txt"}));
            EXPECT_EQ(read_file(dir.file("a.txt")) + read_file(dir.file("b.txt")),
                      "new a\nnew b\n");
        }
    }
}

TEST(FolderLocks, SharedLocksShareAndExclusiveOnesExclude) {
    TempDir dir;
    const std::string folder = dir.path().string();
    // flock on a second open of the folder conflicts with the FolderLock as another run would.
    const auto can_lock = [&](int operation) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        const bool locked = ::flock(fd, operation | LOCK_NB) == 0;
        ::close(fd);
        return locked;
    };
    {
        const FolderLock reading(folder, LockMode::shared);
        EXPECT_TRUE(can_lock(LOCK_SH));
        EXPECT_FALSE(can_lock(LOCK_EX));
    }
    {
        const FolderLock writing(folder, LockMode::exclusive);
        EXPECT_FALSE(can_lock(LOCK_SH));
        EXPECT_FALSE(can_lock(LOCK_EX));
    }
    EXPECT_TRUE(can_lock(LOCK_EX));
}

TEST(ResultFiles, AFifoTargetIsRefusedAtOnceAndACharacterDeviceWrittenThrough) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("report.csv").c_str(), 0644), 0);
    ResultFile fifo(dir.file("report.csv"), 0644);
    fifo.text() = "slice\n";
    EXPECT_FALSE(fifo.commit());
    EXPECT_NE(fifo.reason().find("a FIFO, not a regular file"), std::string::npos) << fifo.reason();
    EXPECT_TRUE(fs::is_fifo(dir.file("report.csv")));
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"report.csv"});

    ResultFile discarded("/dev/null", 0644);
    discarded.text() = "slice\n";
    EXPECT_TRUE(discarded.commit()) << discarded.reason();
}

// What a run killed while writing leaves behind goes when the next writer holds the folder:
// its temporaries and set-aside files, and nothing else (a user's hidden file of a like name,
// a folder, a link).
TEST(FolderLocks, AnExclusiveLockRemovesTheTemporariesOfKilledRuns) {
    EXPECT_TRUE(is_stale_temporary(".2d.txt.pairfit-a1B2c3"));
    EXPECT_TRUE(is_stale_temporary(".z.txt.pairfit-Zz09xy.old"));
    EXPECT_FALSE(is_stale_temporary(".2d.txt.pairfit-a1B2c"));
    EXPECT_FALSE(is_stale_temporary(".2d.txt.a1B2c3"));
    EXPECT_FALSE(is_stale_temporary("2d.txt.pairfit-a1B2c3"));
    EXPECT_FALSE(is_stale_temporary(".pairfit-a1B2c3"));
    EXPECT_FALSE(is_stale_temporary(".notes.pairfit-a1B2c!"));

    TempDir dir;
    for (const char* stale :
         {".2d.txt.pairfit-a1B2c3", ".z.txt.pairfit-Zz09xy.old", ".results.txt.pairfit-000000"}) {
        write_file(dir.file(stale), "half a file");
    }
    const std::set<std::string> kept = {"2d.txt", ".2d.txt.a1B2c3", ".report.csv.pairfit-dir000",
                                        ".trend.csv.pairfit-link00"};
    write_file(dir.file("2d.txt"), "1 2\n&\n");
    write_file(dir.file(".2d.txt.a1B2c3"), "the user's");
    fs::create_directory(dir.file(".report.csv.pairfit-dir000"));
    fs::create_symlink(dir.file("2d.txt"), dir.file(".trend.csv.pairfit-link00"));
    {
        const FolderLock reading(dir.path(), LockMode::shared);
        EXPECT_EQ(files_in(dir.path()).size(), kept.size() + 3); // a reader removes nothing
    }
    {
        const FolderLock writing(dir.path(), LockMode::exclusive);
        EXPECT_EQ(files_in(dir.path()), kept);
    }
    EXPECT_EQ(read_file(dir.file("2d.txt")), "1 2\n&\n");
}
