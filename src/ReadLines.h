// Lines of a file as std::getline splits them, read in large pieces with a bound on the
// length of one line. A detail of the readers.
#pragma once

#include "Read.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <sys/stat.h>

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// How split_lines ended.
struct SplitEnd {
    bool read_error = false;
    int error_number = 0;       // of the read error
    bool line_too_long = false; // the line after the `lines` taken is over max_line_length
    std::uint64_t lines = 0;    // lines the handler took
};

// Splits what `read_chunk(buffer, room)` delivers into lines as std::getline does: on '\n',
// with a last line without '\n' included, bytes (NUL, '\r') kept as they are. read_chunk
// returns the bytes it stored, 0 at the end, or -1 on a read error. line_handler(line,
// offset) gets each line and its first byte's offset from the start of reading; it returns
// false to stop. A line longer than the buffer makes the buffer grow, up to a line of
// max_line_length bytes: a longer one ends the reading, so that memory stays bounded.
template <typename ReadChunk, typename LineHandler>
SplitEnd split_lines(ReadChunk read_chunk, LineHandler line_handler) {
    constexpr std::size_t chunk_size = 1 << 16;
    constexpr std::size_t largest_buffer = max_line_length + 1;
    SplitEnd split;
    std::unique_ptr<char[]> buffer(new char[chunk_size]);
    std::size_t capacity = chunk_size;
    std::size_t held = 0;          // bytes of an unfinished line at the front of the buffer
    std::uint64_t held_offset = 0; // where that line starts
    for (;;) {
        if (held == capacity) {
            if (capacity == largest_buffer) {
                split.line_too_long = true;
                return split;
            }
            const std::size_t larger_capacity = std::min(2 * capacity, largest_buffer);
            std::unique_ptr<char[]> larger(new char[larger_capacity]);
            std::memcpy(larger.get(), buffer.get(), held);
            buffer = std::move(larger);
            capacity = larger_capacity;
        }
        const std::ptrdiff_t got = read_chunk(buffer.get() + held, capacity - held);
        if (got < 0) {
            split.read_error = true;
            split.error_number = errno;
            return split;
        }
        if (got == 0) {
            break;
        }
        const char* line = buffer.get();
        const char* const end = buffer.get() + held + got;
        const char* search = buffer.get() + held; // the held bytes hold no newline
        while (const void* found =
                   std::memchr(search, '\n', static_cast<std::size_t>(end - search))) {
            const char* const newline = static_cast<const char*>(found);
            if (!line_handler(std::string_view(line, static_cast<std::size_t>(newline - line)),
                              held_offset)) {
                return split;
            }
            ++split.lines;
            held_offset += static_cast<std::uint64_t>(newline + 1 - line);
            line = newline + 1;
            search = line;
        }
        held = static_cast<std::size_t>(end - line);
        std::memmove(buffer.get(), line, held);
    }
    if (held > 0 && line_handler(std::string_view(buffer.get(), held), held_offset)) {
        ++split.lines;
    }
    return split;
}

// What a split tells the reader's report; `lines_before` lines of the file precede the line
// at which it stopped.
inline void record_split(const SplitEnd& split, std::uint64_t lines_before, ReadReport& report) {
    report.read_to_end = !split.read_error && !split.line_too_long;
    if (split.read_error) {
        report.error_number = split.error_number;
    }
    if (split.line_too_long) {
        report.overlong_line = lines_before + 1;
    }
}

// Calls line_handler(std::string_view) for every line of the file, as split_lines splits it.
template <typename LineHandler>
void for_each_line(const char* name, ReadReport& report, LineHandler line_handler) {
    report = ReadReport{};
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name, "rb"));
    if (!file) {
        report.error_number = errno;
        return;
    }
    report.opened = true;
    struct stat status {};
    report.is_directory = ::fstat(::fileno(file.get()), &status) == 0 && S_ISDIR(status.st_mode);
    const auto read_chunk = [&](char* into, std::size_t room) -> std::ptrdiff_t {
        const std::size_t got = std::fread(into, 1, room, file.get());
        // A read error (a directory, a failing device) is not the end of the file.
        return got == 0 && std::ferror(file.get()) ? -1 : static_cast<std::ptrdiff_t>(got);
    };
    const SplitEnd split = split_lines(read_chunk, [&](std::string_view line, std::uint64_t) {
        line_handler(line);
        return true;
    });
    record_split(split, split.lines, report);
}
