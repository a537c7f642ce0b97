// What the fuzz targets share: a failing check that aborts (a finding for libFuzzer and a
// failed replay test), scratch files for the readers, which take file names, and bit-exact
// comparisons with the reference stages (tests/reference: std::istringstream in the classic
// locale), against which the project's readers are compared.
#pragma once

#include "Read.h"
#include "ReferenceStages.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzzing {

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string& detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
    std::abort();
}

} // namespace fuzzing

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fuzzing::fail(__FILE__, __LINE__, #condition, (detail));                               \
        }                                                                                          \
    } while (false)

namespace fuzzing {

// Writes the bytes to a file of this process that lives in memory (memfd), one per name and
// rewritten on every call, and returns a path that opens it. Nothing is left behind, even
// when libFuzzer ends the process without running exit handlers.
inline std::string write_scratch(const char* name, const std::string& bytes) {
    static std::map<std::string, int> files;
    auto found = files.find(name);
    if (found == files.end()) {
        const int fd = ::memfd_create(name, 0);
        FUZZ_CHECK(fd >= 0, std::string("memfd_create failed for ") + name);
        found = files.emplace(name, fd).first;
    }
    const int fd = found->second;
    FUZZ_CHECK(::ftruncate(fd, 0) == 0, name);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + written, bytes.size() - written,
                                   static_cast<off_t>(written));
        FUZZ_CHECK(n > 0, name);
        written += static_cast<std::size_t>(n);
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

// Bit for bit, so that -0.0 and 0.0 (printed "-0.000" and "0.000") count as different.
inline bool same_row(const Row& a, const Row& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool same_table(const Table& a, const Table& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_row(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

// A printable, shortened form of some bytes for check messages.
inline std::string shown(const std::string& bytes) {
    std::string text;
    for (const char c : bytes.substr(0, 200)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return bytes.size() > 200 ? text + "..." : text;
}

inline std::string shown(const Row& row) {
    std::ostringstream text;
    text.precision(17);
    text << '{';
    for (const double value : row) {
        text << ' ' << value;
    }
    text << " }";
    return text.str();
}

// The lines std::getline gives for a file holding these bytes: split at '\n', with no
// line after a final '\n'.
template <typename Visit> void for_each_line(const std::string& bytes, Visit visit) {
    std::istringstream text(bytes);
    std::string line;
    while (std::getline(text, line)) {
        visit(line);
    }
}

} // namespace fuzzing
