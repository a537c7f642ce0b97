// How the programs put their result files in place: each file replaced whole or not at all,
// a pair of files both replaced or neither, and one run's files at a time in a folder. A
// detail of the programs.
#pragma once

#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The system calls through which a ResultFile makes, writes, closes and puts its temporary
// file in place. The defaults are the real calls; a test installs failing ones with
// ScopedFileSystemCalls to check what a failure at each call leaves behind.
struct FileSystemCalls {
    int (*make_temporary)(char*, int) = ::mkostemp;
    ssize_t (*write)(int, const void*, size_t) = ::write;
    int (*fchmod)(int, mode_t) = ::fchmod;
    int (*close)(int) = ::close;
    int (*rename)(const char*, const char*) = ::rename;
    int (*link)(const char*, const char*) = ::link;
};

// While it lives, the ResultFiles made (on any thread) use `calls`; at its end the calls
// installed before it return. Made and ended on one thread, innermost first.
class ScopedFileSystemCalls {
  public:
    explicit ScopedFileSystemCalls(const FileSystemCalls& calls);
    ~ScopedFileSystemCalls();
    ScopedFileSystemCalls(const ScopedFileSystemCalls&) = delete;
    ScopedFileSystemCalls& operator=(const ScopedFileSystemCalls&) = delete;

  private:
    FileSystemCalls calls_;
    const FileSystemCalls* previous_;
};

// The end of a temporary's name: ".NAME" + temporary_suffix, six characters of mkostemp, and
// ".old" after a file set aside by commit_together.
constexpr const char* temporary_suffix = ".pairfit-XXXXXX";
// True for the name of a temporary that a ResultFile makes (".2d.txt.pairfit-a1B2c3", with or
// without ".old").
bool is_stale_temporary(const std::string& name);

// A result file written through a buffer in large pieces into a temporary file beside its
// target, which commit() renames over the target. A target that is a symbolic link stays one:
// the file it finally points to is replaced, in that file's folder, keeping its permission
// bits. A character device such as /dev/null is written through directly; a FIFO, a socket or
// a block device is refused at once (a FIFO would wait for a reader), a directory fails to open. A
// regular target whose owner-write bit is clear is the user's "keep this" and is refused, for root
// too (the mode bits decide, not access(), which root passes). Whatever fails, the target keeps its
// old content, no temporary file is left, and reason() says why.
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

    // Writes the rest and closes the temporary with the target's permission bits; the target
    // is untouched (a file written through is complete after it). true when all went well.
    bool prepare();
    // requires: prepare() returned true. Renames the temporary over the target.
    bool publish();
    // prepare() && publish(): true when the target holds all of the text.
    bool commit();

    // After a failure, why, as text for "NAME: could not be written: REASON" (the strerror
    // text of the failing call, or that the target is write-protected); empty otherwise.
    const std::string& reason() const { return reason_; }

  private:
    friend bool commit_together(const std::vector<ResultFile*>& files);
    void flush();
    bool fail(const std::string& reason);
    bool fail_with_errno();
    void discard();

    FileSystemCalls calls_;
    std::string target_;    // the file replaced or written through
    std::string temporary_; // empty when writing through
    mode_t mode_ = 0;
    int fd_ = -1;
    bool ok_ = false;
    std::string reason_;
    std::string text_;
};

// Commits `files` as a set, for files that belong together (2d.txt and its z file): prepares
// them all and publishes them only when all are prepared. Each existing target is first
// hard-linked (or, where links are refused, renamed) aside, so that when a later rename fails,
// the targets already replaced are put back (one that did not exist is removed again); the
// aside names go at the end. true when every target holds its new text; otherwise every
// target holds its old content and each file's reason() says why it was not replaced.
// The remaining window is a crash between two renames, which can leave the new file of one
// target beside the old of another (and a hidden aside file); readers that hold a shared
// FolderLock against a writer's exclusive one never see the pair half-replaced while it runs.
// Files written through (devices) cannot be put back.
// requires: the files have different targets.
bool commit_together(const std::vector<ResultFile*>& files);

// The permission bits a new file gets from open(..., 0666) under the process's umask.
mode_t new_file_mode();

enum class LockMode { shared, exclusive };

// Holds a lock (flock) on a folder itself while it lives: shared for runs that read their
// inputs from it, exclusive for a run that replaces files in it, so that a run reads a set of
// files no other run is halfway through replacing, and runs write one after the other. Once
// it holds an exclusive lock it removes the temporaries (is_stale_temporary) that a run
// killed while writing left in the folder: no live run can be writing them then. When
// it has to wait, it says so once on standard error. A folder that cannot be opened or locked
// is used unlocked, as without this lock.
// flock locks belong to an open file: two FolderLocks on one folder conflict even within one
// process, so a process holding a shared lock that then asks for an exclusive one waits for
// itself forever. The pattern is: read under a shared lock, end it, fit, then take an
// exclusive lock to write the results.
class FolderLock {
  public:
    FolderLock(const std::string& folder, LockMode mode);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    int fd_;
};

// An exclusive FolderLock on the working directory.
class WorkingDirectoryLock : public FolderLock {
  public:
    WorkingDirectoryLock() : FolderLock(".", LockMode::exclusive) {}
};
