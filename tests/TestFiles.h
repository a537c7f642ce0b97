// Temporary folders, files and program runs for the tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace testfiles {

namespace fs = std::filesystem;

// The five files a run writes.
const char* const result_names[] = {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt"};

// Three slices on one axis with two lines near 0.0 and 0.5 ppm; 4 points inside (-1, 1). No
// fitted value ends at a bound.
const char* const small_series = "# ppm intensity\n"
                                 "1.0 1\n0.5 9\n0.25 4\n0.0 8\n-0.5 1\n&\n"
                                 "1.0 1\n0.5 6\n0.25 4\n0.0 10\n-0.5 1\n&\n"
                                 "1.0 1\n0.5 4\n0.25 3\n0.0 12\n-0.5 1\n&\n";

inline std::set<std::string> files_in(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A fresh folder under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::random_device entropy;
        for (;;) {
            path_ = fs::temp_directory_path() / ("pairfit-test-" + std::to_string(entropy()));
            if (fs::create_directory(path_)) {
                break;
            }
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the shell command line `command` with `folder` as working directory; its output is
// captured in files outside the folder so that the folder holds only what the command wrote.
inline RunResult run_command(const fs::path& folder, const std::string& command) {
    TempDir capture;
    const int raw = std::system(("cd '" + folder.string() + "' && " + command + " > '" +
                                 capture.file("out") + "' 2> '" + capture.file("err") + "'")
                                    .c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_file(capture.file("out"));
    result.err = read_file(capture.file("err"));
    return result;
}

// Runs `program`, without arguments, as run_command does.
inline RunResult run_in(const fs::path& folder, const std::string& program) {
    return run_command(folder, "'" + program + "'");
}

struct ProgramRun {
    int status = -1; // the exit status; 124 after the time limit, 128 + n after signal n
    std::string out;
    std::string err;
};

// Runs `program` in `folder` within a time limit, after the shell commands in `setup`
// (run in the program's own subshell, e.g. limits). Output is captured outside the folder.
inline ProgramRun run_limited(const fs::path& folder, const std::string& program, int seconds = 120,
                              const std::string& setup = ":") {
    TempDir capture;
    const std::string command = "cd '" + folder.string() + "' && (" + setup + "; exec timeout " +
                                std::to_string(seconds) + " '" + program + "') > '" +
                                capture.file("out") + "' 2> '" + capture.file("err") + "'";
    const int raw = std::system(command.c_str());
    ProgramRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.out = read_file(capture.file("out"));
    run.err = read_file(capture.file("err"));
    return run;
}

} // namespace testfiles
