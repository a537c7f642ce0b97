// How the programs put their result files in place, run as processes: a file is replaced
// whole or keeps its old content, links stay links, two runs in one folder leave one run's
// set of files, and an input without line ends is refused before it fills memory.
#include "TestFiles.h"
#include "synthetic_series.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using testfiles::files_in;
using testfiles::ProgramRun;
using testfiles::read_file;
using testfiles::result_names;
using testfiles::run_limited;
using testfiles::small_series;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

const char* const sound_peaks = "0 0.5\n-1 1\n0.1 0.1\n";

using Results = std::map<std::string, std::string>;

Results results_in(const fs::path& folder) {
    Results results;
    for (const char* name : result_names) {
        results[name] = read_file((folder / name).string());
    }
    return results;
}

// The five files of a lone run of `program` on the inputs of `inputs`.
Results lone_run(const TempDir& inputs, const char* program) {
    TempDir dir;
    for (const char* input : {"2d.txt", "peaks.txt"}) {
        fs::copy_file(inputs.file(input), dir.file(input));
    }
    EXPECT_EQ(run_limited(dir.path(), program).status, 0);
    return results_in(dir.path());
}

} // namespace

TEST(ResultFiles, AFileSizeLimitLeavesEachFileThatDidNotFitAsItWas) {
    // results.txt (about 200 bytes) fits under the limit of 2 KiB, the matrix files do not:
    // their writes fail part-way (SIGXFSZ ignored, as a shell that traps it leaves it).
    std::string series;
    for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < 80; ++i) {
            series += std::to_string(0.9 - i * 0.02) + " " + std::to_string(1 + (i * s) % 7) + "\n";
        }
        series += "&\n";
    }
    TempDir dir;
    write_file(dir.file("2d.txt"), series);
    write_file(dir.file("peaks.txt"), sound_peaks);
    const Results expected = lone_run(dir, PAIRFIT4);
    Results earlier;
    for (const char* name : result_names) {
        earlier[name] = "earlier " + std::string(name) + "\n";
        write_file(dir.file(name), earlier[name]);
    }
    const auto before = files_in(dir.path());
    const ProgramRun run = run_limited(dir.path(), PAIRFIT4, 120, "trap '' XFSZ; ulimit -f 2");
    EXPECT_EQ(run.status, 4);
    // After the warning that the flat slice 0 ended at a bound.
    const std::string unwritten = "dat.txt: could not be written: File too large\n"
                                  "sim_a.txt: could not be written: File too large\n"
                                  "sim_b.txt: could not be written: File too large\n"
                                  "res.txt: could not be written: File too large\n";
    ASSERT_GE(run.err.size(), unwritten.size());
    EXPECT_EQ(run.err.substr(run.err.size() - unwritten.size()), unwritten);
    EXPECT_EQ(files_in(dir.path()), before); // no temporary file left
    const Results after = results_in(dir.path());
    for (const char* name : {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt"}) {
        EXPECT_EQ(after.at(name), earlier[name]) << name;
    }
    EXPECT_EQ(after.at("results.txt"), expected.at("results.txt"));
}

TEST(ResultFiles, LinksStayLinks) {
    TempDir dir, elsewhere;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), sound_peaks);
    const Results expected = lone_run(dir, PAIRFIT2);
    write_file(elsewhere.file("kept.txt"), "earlier\n");
    fs::permissions(elsewhere.file("kept.txt"),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(elsewhere.file("kept.txt"), dir.file("results.txt"));
    fs::create_symlink("/dev/null", dir.file("res.txt"));

    const ProgramRun run = run_limited(dir.path(), PAIRFIT2);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(dir.file("results.txt")));
    EXPECT_EQ(fs::read_symlink(dir.file("results.txt")), elsewhere.file("kept.txt"));
    EXPECT_EQ(read_file(elsewhere.file("kept.txt")), expected.at("results.txt"));
    EXPECT_EQ(fs::status(elsewhere.file("kept.txt")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(files_in(elsewhere.path()), std::set<std::string>{"kept.txt"});
    EXPECT_TRUE(fs::is_symlink(dir.file("res.txt")));
    EXPECT_EQ(fs::read_symlink(dir.file("res.txt")), "/dev/null");
    EXPECT_EQ(read_file(dir.file("dat.txt")), expected.at("dat.txt"));
}

TEST(ResultFiles, TwoRunsInOneFolderLeaveOneRunsFiles) {
    SeriesSettings settings;
    settings.slices = 60;
    settings.points = 3000; // result files of a few MB, so that the writing takes a while
    settings.noise = 0.01;
    TempDir inputs;
    ASSERT_TRUE(write_series(settings, inputs.path().string()));
    const Results four = lone_run(inputs, PAIRFIT4);
    const Results two = lone_run(inputs, PAIRFIT2);
    ASSERT_NE(four.at("results.txt"), two.at("results.txt"));
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        TempDir dir;
        for (const char* input : {"2d.txt", "peaks.txt"}) {
            fs::copy_file(inputs.file(input), dir.file(input));
        }
        const std::string both = "cd '" + dir.path().string() +
                                 "' && ('" PAIRFIT4 "' & '" PAIRFIT2 "' & wait) > /dev/null 2>&1";
        ASSERT_EQ(std::system(both.c_str()), 0);
        const Results after = results_in(dir.path());
        EXPECT_TRUE(after == four || after == two) << "the files mix the two runs";
    }
}

TEST(ResultFiles, AnInputWithoutLineEndsIsRefusedWithinBoundedMemory) {
    TempDir dir;
    write_file(dir.file("peaks.txt"), sound_peaks);
    fs::create_symlink("/dev/zero", dir.file("2d.txt"));
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer reserves terabytes of address space for its shadow memory, so an
    // instrumented program cannot start under a limit of address space.
    const char* const memory_limit = ":";
#else
    const char* const memory_limit = "ulimit -v 524288";
#endif
    const ProgramRun run = run_limited(dir.path(), PAIRFIT4, 60, memory_limit);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("2d.txt: line 1 is longer than 64 MiB", 0), 0u) << run.err;
    EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"2d.txt", "peaks.txt"}));
}

// A FIFO in place of a result file is refused at once, named, with status 4; the other files
// are written.
TEST(ResultFiles, AFifoInPlaceOfAResultFileIsRefusedWithoutWaiting) {
    TempDir dir;
    write_file(dir.file("2d.txt"), testfiles::small_series);
    write_file(dir.file("peaks.txt"), sound_peaks);
    ASSERT_EQ(::mkfifo(dir.file("sim_a.txt").c_str(), 0644), 0);
    const ProgramRun run = run_limited(dir.path(), PAIRFIT2, 20);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_EQ(run.err.rfind("sim_a.txt: could not be written: it is a FIFO", 0), 0u) << run.err;
    EXPECT_TRUE(fs::is_fifo(dir.file("sim_a.txt")));
    EXPECT_FALSE(read_file(dir.file("results.txt")).empty());
}

// A generator writing 2d.txt into a named pipe, pausing half-way: the run opens the pipe once,
// reads it whole and fits what a regular 2d.txt gives.
TEST(ResultFiles, A2dTxtFifoIsOpenedOnceAndReadWholeThroughTheWritersPause) {
    TempDir regular;
    const std::string series = testfiles::small_series;
    write_file(regular.file("2d.txt"), series);
    write_file(regular.file("peaks.txt"), sound_peaks);
    const Results expected = lone_run(regular, PAIRFIT2);

    std::signal(SIGPIPE, SIG_IGN); // a reader that goes away must fail the writes, not the test
    // A second open would lose the writer's first piece now and then: a few runs catch it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        TempDir dir;
        write_file(dir.file("peaks.txt"), sound_peaks);
        ASSERT_EQ(::mkfifo(dir.file("2d.txt").c_str(), 0644), 0);
        std::thread generator([&] {
            const int fd = ::open(dir.file("2d.txt").c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) {
                return;
            }
            const std::size_t half = series.size() / 2;
            const bool first = ::write(fd, series.data(), half) == static_cast<ssize_t>(half);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const bool rest = first && ::write(fd, series.data() + half, series.size() - half) ==
                                           static_cast<ssize_t>(series.size() - half);
            EXPECT_TRUE(rest) << "the reader left before the end, attempt " << attempt;
            ::close(fd);
        });
        const ProgramRun run = run_limited(dir.path(), PAIRFIT2);
        generator.join();
        ASSERT_EQ(run.status, 0) << run.err;
        for (const auto& [name, text] : expected) {
            EXPECT_EQ(read_file(dir.file(name)), text) << name;
        }
    }
}

// A run holds its folder's shared lock while it reads its inputs: with 2d.txt a FIFO whose
// writer has not come yet, the run waits in the read, and an exclusive lock cannot be had.
TEST(ResultFiles, TheReadLockIsHeldWhileTheInputsAreRead) {
    TempDir dir;
    write_file(dir.file("peaks.txt"), sound_peaks);
    ASSERT_EQ(::mkfifo(dir.file("2d.txt").c_str(), 0644), 0);
    ProgramRun run;
    std::thread program([&] { run = run_limited(dir.path(), PAIRFIT2, 60); });
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    bool refused = false;
    for (int wait = 0; wait < 500 && !refused; ++wait) {
        if (::flock(folder, LOCK_EX | LOCK_NB) == 0) {
            ::flock(folder, LOCK_UN);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else {
            refused = errno == EWOULDBLOCK;
        }
    }
    EXPECT_TRUE(refused) << "no run held the folder while 2d.txt was being read";
    const int writer = ::open(dir.file("2d.txt").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const std::string series = testfiles::small_series;
    EXPECT_EQ(::write(writer, series.data(), series.size()), static_cast<ssize_t>(series.size()));
    ::close(writer);
    program.join();
    ::close(folder);
    EXPECT_EQ(run.status, 0) << run.err;
}
