// How the programs put their result files in place: each file replaced whole or not at all,
// and one run's set of files at a time in a folder. A detail of the programs.
#pragma once

#include <string>

#include <sys/types.h>

// A result file written through a buffer in large pieces into a temporary file beside its
// target, which commit() renames over the target. A target that is a symbolic link stays one:
// the file it finally points to is replaced, in that file's folder, keeping its permission
// bits. A target that exists but is not a regular file (a device such as /dev/null, a FIFO)
// is written through directly. Whatever fails, the target keeps its old content and no
// temporary file is left.
class ResultFile {
  public:
    // `new_file_mode`: the permission bits of a target that does not exist yet.
    ResultFile(const std::string& name, mode_t new_file_mode);
    ~ResultFile();
    ResultFile(const ResultFile&) = delete;
    ResultFile& operator=(const ResultFile&) = delete;

    // Takes the text of whole lines; flush_if_large() writes it out once enough has gathered.
    std::string& text() { return text_; }
    void flush_if_large();
    // Writes the rest, closes and puts the file in place; true when the target holds all of it.
    bool commit();

  private:
    void flush();
    void discard();

    std::string target_;    // the file replaced or written through
    std::string temporary_; // empty when writing through
    mode_t mode_ = 0;
    int fd_ = -1;
    bool ok_ = false;
    std::string text_;
};

// The permission bits a new file gets from open(..., 0666) under the process's umask.
mode_t new_file_mode();

// Holds an exclusive lock (flock) on the working directory itself while it lives, so that
// runs in one folder write their result files one after the other; a run that has to wait
// says so once on standard error.
class WorkingDirectoryLock {
  public:
    WorkingDirectoryLock();
    ~WorkingDirectoryLock();
    WorkingDirectoryLock(const WorkingDirectoryLock&) = delete;
    WorkingDirectoryLock& operator=(const WorkingDirectoryLock&) = delete;

  private:
    int fd_;
};
