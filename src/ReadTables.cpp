// The readers of text tables: peaks.txt as one table, 2d.txt as a table per block.
#include "Read.h"
#include "ReadLines.h"
#include "ReadNumbers.h"

#include "Failure.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool fileExists(const std::string& name) {
    std::ifstream file(name);
    return file.good();
}
LineExcerpt excerpt_of(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    constexpr std::size_t shown = 80;
    LineExcerpt excerpt;
    excerpt.text = std::string(line.substr(0, shown));
    excerpt.cut = line.size() > shown;
    excerpt.has_comma = line.find(',') != std::string_view::npos;
    return excerpt;
}

Table read_table(const char* name, ReadReport& report) {
    std::vector<LineExcerpt> no_lines;
    return read_table(name, report, no_lines, 0);
}

Table read_table(const char* name, ReadReport& report, std::vector<LineExcerpt>& lines,
                 std::size_t lines_kept) {
    Table table;
    Row values;
    lines.clear();
    for_each_line(name, report, [&](std::string_view line) {
        if (line.empty() || line[0] == '#' || line[0] == '&') {
            return;
        }
        parse_fields(line, values);
        table.emplace_back(values.begin(), values.end());
        if (lines.size() < lines_kept) {
            lines.push_back(excerpt_of(line));
        }
    });
    return table;
}

TableSeries read_series(const char* name, ReadReport& report) {
    TableSeries series;
    Table block;
    Row values;
    for_each_line(name, report, [&](std::string_view line) {
        if (line.empty() || line[0] == '#') {
            return;
        }
        if (line[0] == '&') {
            // Blocks of a series usually share their length: the next one gets room for as
            // many rows, and each is kept without spare room.
            const std::size_t rows = block.size();
            block.shrink_to_fit();
            series.push_back(std::move(block));
            block = Table();
            block.reserve(rows);
            return;
        }
        parse_fields(line, values);
        block.emplace_back(values.begin(), values.end());
    });
    // Lines after the last '&' are an unfinished block and are not part of the series. Rows
    // without any value (blanks, a lone CR of a CRLF file) hold no data that could be lost.
    report.unfinished_rows = static_cast<std::size_t>(
        std::count_if(block.begin(), block.end(), [](const Row& row) { return !row.empty(); }));
    return series;
}
namespace {

template <typename Result>
Result readOrComplain(const char* name, Result (*reader)(const char*, ReadReport&)) {
    ReadReport report;
    Result result = reader(name, report);
    if (!report.opened) {
        std::cerr << "No such read-in file\n";
    }
    return result;
}

} // namespace

Table fileIn(const char* name) {
    return readOrComplain(name, read_table);
}

TableSeries fileIn3(const char* name) {
    return readOrComplain(name, read_series);
}

namespace {

void append_escaped(std::string& shown, std::string_view text, bool keep_high_bytes) {
    static const char hex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f || (byte > 0x7f && !keep_high_bytes)) {
            shown += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            shown += c;
        }
    }
}

} // namespace

std::string escaped(std::string_view text, std::size_t at_most) {
    std::string shown;
    append_escaped(shown, text.substr(0, at_most), false);
    return text.size() > at_most ? shown + "..." : shown;
}

std::string quoted_text(std::string_view text) {
    constexpr std::size_t most = 80;
    std::string quoted = "\"";
    append_escaped(quoted, text.substr(0, most), true);
    return quoted + (text.size() > most ? "...\"" : "\"");
}

void read_text_file(const std::string& name, std::uint64_t max_bytes, std::string& text) {
    // Non-blocking so that a FIFO without a writer is refused below instead of waiting in
    // open(); a regular file reads as without the flag.
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw Failure(FailureKind::unreadable_input,
                      name + ": cannot be opened: " + std::strerror(errno));
    }
    const auto refuse = [&](FailureKind kind, const std::string& why) {
        ::close(fd);
        throw Failure(kind, name + ": " + why);
    };
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        refuse(FailureKind::unreadable_input,
               std::string("cannot be read: ") + std::strerror(errno));
    }
    if (S_ISDIR(status.st_mode)) {
        refuse(FailureKind::malformed_input, "is a directory, not a file");
    }
    if (!S_ISREG(status.st_mode)) {
        refuse(FailureKind::malformed_input,
               "is not a regular file (a device or a pipe?); give a text file");
    }
    if (static_cast<std::uint64_t>(status.st_size) > max_bytes) {
        refuse(FailureKind::malformed_input,
               "is " + std::to_string(status.st_size) + " bytes long, more than the " +
                   std::to_string(max_bytes >> 20) + " MiB such a file may hold");
    }
    text.clear();
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            refuse(FailureKind::unreadable_input,
                   std::string("cannot be read: ") + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        if (text.size() + static_cast<std::size_t>(got) > max_bytes) {
            refuse(FailureKind::malformed_input,
                   "grew beyond " + std::to_string(max_bytes >> 20) + " MiB while it was read");
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
}
