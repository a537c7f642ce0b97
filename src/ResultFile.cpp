#include "ResultFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::mutex installed_mutex;
const FileSystemCalls* installed_calls = nullptr; // the real calls when null

// The file `name` finally refers to, following symbolic links (a relative link from the
// link's own folder). A loop is left to open() to refuse.
std::string final_target(const std::string& name) {
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            break;
        }
        char link[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof link) {
            break;
        }
        const std::string target(link, static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        path = target[0] == '/' || slash == std::string::npos ? target
                                                              : path.substr(0, slash + 1) + target;
    }
    return path;
}

} // namespace

ScopedFileSystemCalls::ScopedFileSystemCalls(const FileSystemCalls& calls) : calls_(calls) {
    const std::lock_guard<std::mutex> hold(installed_mutex);
    previous_ = installed_calls;
    installed_calls = &calls_;
}

ScopedFileSystemCalls::~ScopedFileSystemCalls() {
    const std::lock_guard<std::mutex> hold(installed_mutex);
    installed_calls = previous_;
}

ResultFile::ResultFile(const std::string& name, mode_t new_file_mode)
    : target_(final_target(name)), mode_(new_file_mode) {
    {
        const std::lock_guard<std::mutex> hold(installed_mutex);
        if (installed_calls != nullptr) {
            calls_ = *installed_calls;
        }
    }
    struct stat status {};
    const bool exists = ::stat(target_.c_str(), &status) == 0;
    if (exists &&
        (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISBLK(status.st_mode))) {
        // Opening a FIFO for writing waits for a reader, and a disk or socket is no result
        // file: refused at once, nothing opened.
        fail(std::string("it is ") +
             (S_ISFIFO(status.st_mode)   ? "a FIFO"
              : S_ISSOCK(status.st_mode) ? "a socket"
                                         : "a block device") +
             ", not a regular file; remove it or let the name stand for a file");
        return;
    } else if (exists && !S_ISREG(status.st_mode)) {
        // A character device such as /dev/null (a result not wanted) is written through.
        fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
    } else if (exists && (status.st_mode & S_IWUSR) == 0) {
        fail("it is write-protected; make it writable (chmod u+w) or move it to keep it");
        return;
    } else {
        if (exists) {
            mode_ = status.st_mode & 07777;
        }
        const std::size_t slash = target_.rfind('/');
        temporary_ = slash == std::string::npos ? "." + target_ + temporary_suffix
                                                : target_.substr(0, slash + 1) + "." +
                                                      target_.substr(slash + 1) + temporary_suffix;
        fd_ = calls_.make_temporary(temporary_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            temporary_.clear();
        }
    }
    ok_ = fd_ >= 0 || fail_with_errno();
}

ResultFile::~ResultFile() {
    discard();
}

void ResultFile::flush_if_large() {
    if (text_.size() >= (1u << 20)) {
        flush();
    }
}

void ResultFile::flush() {
    const char* data = text_.data();
    std::size_t left = text_.size();
    while (ok_ && left > 0) {
        const ssize_t written = calls_.write(fd_, data, left);
        if (written > 0) {
            data += written;
            left -= static_cast<std::size_t>(written);
        } else if (written == 0) {
            fail("the write stored nothing");
        } else if (errno != EINTR) {
            fail_with_errno();
        }
    }
    text_.clear();
}

bool ResultFile::prepare() {
    flush();
    if (ok_ && !temporary_.empty() && calls_.fchmod(fd_, mode_) != 0) {
        fail_with_errno();
    }
    if (fd_ >= 0) {
        const int closed = calls_.close(fd_);
        fd_ = -1;
        if (closed != 0) {
            fail_with_errno();
        }
    }
    if (!ok_) {
        discard();
    }
    return ok_;
}

bool ResultFile::publish() {
    if (ok_ && !temporary_.empty()) {
        if (calls_.rename(temporary_.c_str(), target_.c_str()) == 0) {
            temporary_.clear();
        } else {
            fail_with_errno();
        }
    }
    discard();
    return ok_;
}

bool ResultFile::commit() {
    return prepare() && publish();
}

bool ResultFile::fail(const std::string& reason) {
    if (reason_.empty()) {
        reason_ = reason; // the first failure is the one to tell
    }
    ok_ = false;
    return false;
}

bool ResultFile::fail_with_errno() {
    return fail(std::error_code(errno, std::generic_category()).message());
}

void ResultFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
}

bool commit_together(const std::vector<ResultFile*>& files) {
    struct Aside {
        bool through = false; // written through: nothing to set aside or put back
        std::string name;     // empty: the target did not exist
        bool linked = false;  // a hard link to the old target, not the old target moved
    };
    const std::size_t count = files.size();
    std::vector<Aside> asides(count);
    const auto set_aside = [&](std::size_t i) {
        ResultFile& file = *files[i];
        Aside& aside = asides[i];
        struct stat status {};
        aside.through = file.temporary_.empty();
        if (aside.through || ::lstat(file.target_.c_str(), &status) != 0) {
            return true;
        }
        aside.name = file.temporary_ + ".old";
        aside.linked = file.calls_.link(file.target_.c_str(), aside.name.c_str()) == 0;
        if (aside.linked || (errno != EEXIST &&
                             file.calls_.rename(file.target_.c_str(), aside.name.c_str()) == 0)) {
            return true;
        }
        aside.name.clear();
        return file.fail_with_errno();
    };
    const auto put_back = [&](std::size_t i, bool published) {
        const ResultFile& file = *files[i];
        const Aside& aside = asides[i];
        if (aside.through) {
            return true;
        }
        if (aside.name.empty()) {
            return !published || ::unlink(file.target_.c_str()) == 0;
        }
        if (aside.linked && !published) {
            return true; // the target is the old file still
        }
        return file.calls_.rename(aside.name.c_str(), file.target_.c_str()) == 0;
    };
    // The index of the first file for which `step` fails, `count` when none does.
    const auto first_failing = [&](auto step) {
        std::size_t i = 0;
        while (i < count && step(i)) {
            ++i;
        }
        return i;
    };
    std::size_t failed = first_failing([&](std::size_t i) { return files[i]->prepare(); });
    std::size_t set_aside_count = 0;
    std::size_t published = 0;
    if (failed == count) {
        failed = set_aside_count = first_failing(set_aside);
    }
    if (failed == count) {
        failed = published = first_failing([&](std::size_t i) { return files[i]->publish(); });
    }
    for (std::size_t i = 0; i < count; ++i) {
        ResultFile& file = *files[i];
        if (failed < count) {
            file.fail("left as it was, since " + files[failed]->target_ + " could not be written");
            if (i < set_aside_count && !put_back(i, i < published)) {
                file.reason_ = "could not be put back as it was when " + files[failed]->target_ +
                               " could not be written; its earlier content is in " + asides[i].name;
                continue; // keeps the aside file
            }
        }
        file.discard();
        if (!asides[i].name.empty()) {
            ::unlink(asides[i].name.c_str());
        }
    }
    return failed == count;
}

mode_t new_file_mode() {
    // umask can only be read by setting it; the runs call this before their threads start.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool is_stale_temporary(const std::string& name) {
    // "." NAME ".pairfit-" six characters of mkostemp [".old"]
    const std::string marker = ".pairfit-";
    std::string stem = name;
    if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".old") == 0) {
        stem.resize(stem.size() - 4);
    }
    const std::size_t at = stem.rfind(marker);
    if (stem.size() < 2 || stem[0] != '.' || at == std::string::npos || at < 2 ||
        stem.size() - at - marker.size() != 6) {
        return false;
    }
    return std::all_of(stem.begin() + static_cast<long>(at + marker.size()), stem.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

void remove_stale_temporaries(const std::string& folder) {
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (is_stale_temporary(name) && entry->is_regular_file(error) &&
            !entry->is_symlink(error)) {
            fs::remove(entry->path(), error);
        }
    }
}

FolderLock::FolderLock(const std::string& folder, LockMode mode)
    : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    const int operation = mode == LockMode::shared ? LOCK_SH : LOCK_EX;
    if (fd_ < 0) {
        return; // a folder that cannot be locked: used as before
    }
    if (::flock(fd_, operation | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
        if (mode == LockMode::exclusive) {
            remove_stale_temporaries(folder);
        }
        return;
    }
    // A shared lock waits only for a writer; an exclusive one for readers and writers.
    std::cerr << "waiting for another run in "
              << (folder == "." ? std::string("this folder") : "\"" + folder + "\"")
              << (mode == LockMode::shared ? " to finish writing its files"
                                           : " to finish reading or writing its files")
              << std::endl;
    while (::flock(fd_, operation) != 0 && errno == EINTR) {
    }
    if (mode == LockMode::exclusive) {
        remove_stale_temporaries(folder);
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}
