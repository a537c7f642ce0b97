#include "CsaResultFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

ResultFile::ResultFile(const std::string& name, mode_t new_file_mode)
    : target_(final_target(name)), mode_(new_file_mode) {
    struct stat status {};
    const bool exists = ::stat(target_.c_str(), &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    } else {
        if (exists) {
            mode_ = status.st_mode & 07777;
        }
        const std::size_t slash = target_.rfind('/');
        temporary_ = slash == std::string::npos ? "." + target_ + ".XXXXXX"
                                                : target_.substr(0, slash + 1) + "." +
                                                      target_.substr(slash + 1) + ".XXXXXX";
        fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            temporary_.clear();
        }
    }
    ok_ = fd_ >= 0;
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
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        ok_ = written > 0;
        if (ok_) {
            data += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    text_.clear();
}

bool ResultFile::commit() {
    flush();
    if (ok_ && !temporary_.empty()) {
        ok_ = ::fchmod(fd_, mode_) == 0;
    }
    if (fd_ >= 0) {
        ok_ = ::close(fd_) == 0 && ok_;
        fd_ = -1;
    }
    if (ok_ && !temporary_.empty()) {
        ok_ = ::rename(temporary_.c_str(), target_.c_str()) == 0;
    }
    if (ok_) {
        temporary_.clear();
    }
    discard();
    return ok_;
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

mode_t new_file_mode() {
    // umask can only be read by setting it; the runs call this before their threads start.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

WorkingDirectoryLock::WorkingDirectoryLock()
    : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
        return; // locked, or a folder that cannot be locked: write as before
    }
    std::cerr << "waiting for another run in this folder to finish writing its results"
              << std::endl;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

WorkingDirectoryLock::~WorkingDirectoryLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}
