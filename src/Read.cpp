#include "Read.h"
#include "ReadNumbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <limits>
#include <locale.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool fileExists(const std::string& name) {
    std::ifstream file(name);
    return file.good();
}

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// How split_lines ended.
struct SplitEnd {
    bool read_error = false;
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
void record_split(const SplitEnd& split, std::uint64_t lines_before, ReadReport& report) {
    report.read_to_end = !split.read_error && !split.line_too_long;
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
        return;
    }
    report.opened = true;
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

} // namespace

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

// The rows of one block that one piece of the file holds.
struct Segment {
    std::size_t points = 0;           // inside the window
    std::size_t rows = 0;             // data lines
    std::size_t valued_rows = 0;      // data lines holding a value
    std::size_t single_value_row = 0; // the first holding one value, from 1; 0 when none
    LineExcerpt single_value_line;    // and its text
    double ppm_low = std::numeric_limits<double>::infinity(); // over all its points
    double ppm_high = -std::numeric_limits<double>::infinity();
    bool closed = false; // by an '&' line
};

// What one stretch of lines of 2d.txt holds: its window points and, per block it touches,
// a segment. The first segment may continue a block of the piece before, the last one is
// open unless the stretch ends with an '&' line.
struct Piece {
    std::vector<double> ppm;
    std::vector<double> intensity;
    std::vector<Segment> segments{Segment{}};
    SplitEnd split;
    std::uint64_t lines = 0; // lines whose first byte lies in the piece's stretch
};

class PieceCutter {
  public:
    PieceCutter(Piece& piece, double window_lower, double window_upper)
        : piece_(piece), lower_(window_lower), upper_(window_upper) {}

    void take(std::string_view line) {
        if (line.empty() || line[0] == '#') {
            return;
        }
        Segment& segment = piece_.segments.back();
        if (line[0] == '&') {
            segment.closed = true;
            piece_.segments.emplace_back();
            return;
        }
        ++segment.rows;
        parse_fields(line, values_);
        if (values_.empty()) {
            return;
        }
        ++segment.valued_rows;
        if (values_.size() == 1) {
            if (segment.single_value_row == 0) {
                segment.single_value_row = segment.rows;
                segment.single_value_line = excerpt_of(line);
            }
            return;
        }
        const double x = values_[0];
        segment.ppm_low = std::min(segment.ppm_low, x);
        segment.ppm_high = std::max(segment.ppm_high, x);
        if (lower_ < x && x < upper_) {
            piece_.ppm.push_back(x);
            piece_.intensity.push_back(values_[1]);
            ++segment.points;
        }
    }

  private:
    Piece& piece_;
    const double lower_;
    const double upper_;
    Row values_;
};

struct FdCloser {
    ~FdCloser() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int fd;
};

// Lines whose first byte lies in [first, last) of a regular file, read with pread so that
// pieces can be read side by side; a piece that starts inside a line leaves that line to the
// piece before.
void cut_piece(int fd, std::uint64_t first, std::uint64_t last, Piece& piece, double window_lower,
               double window_upper) {
    PieceCutter cutter(piece, window_lower, window_upper);
    const std::uint64_t start = first == 0 ? 0 : first - 1;
    std::uint64_t position = start;
    const auto read_chunk = [&](char* into, std::size_t room) -> std::ptrdiff_t {
        for (;;) {
            const ssize_t got = ::pread(fd, into, room, static_cast<off_t>(position));
            if (got >= 0) {
                position += static_cast<std::uint64_t>(got);
                return got;
            }
            if (errno != EINTR) {
                return -1;
            }
        }
    };
    piece.split = split_lines(read_chunk, [&](std::string_view line, std::uint64_t offset) {
        if (first > 0 && offset == 0) {
            return true; // the end of the line before `first`, or the empty text before it
        }
        if (start + offset >= last) {
            return false;
        }
        cutter.take(line);
        return true;
    });
    piece.lines = piece.split.lines - (first > 0 && piece.split.lines > 0 ? 1 : 0);
}

// The whole file in one piece with read(), for anything that is not a regular file too.
void cut_stream(int fd, Piece& piece, double window_lower, double window_upper) {
    PieceCutter cutter(piece, window_lower, window_upper);
    const auto read_chunk = [&](char* into, std::size_t room) -> std::ptrdiff_t {
        for (;;) {
            const ssize_t got = ::read(fd, into, room);
            if (got >= 0 || errno != EINTR) {
                return got;
            }
        }
    };
    piece.split = split_lines(read_chunk, [&](std::string_view line, std::uint64_t) {
        cutter.take(line);
        return true;
    });
    piece.lines = piece.split.lines;
}

// Joins the pieces in file order into slices: a block may run across pieces. Points of the
// block left open at the end belong to no slice and are dropped.
void join_pieces(std::vector<Piece>& pieces, WindowedSeries& series, ReadReport& report) {
    std::size_t total_points = 0;
    for (const Piece& piece : pieces) {
        total_points += piece.ppm.size();
    }
    if (pieces.size() == 1) {
        series.ppm = std::move(pieces[0].ppm);
        series.intensity = std::move(pieces[0].intensity);
    } else {
        series.ppm.reserve(total_points);
        series.intensity.reserve(total_points);
    }
    Segment block; // the block being joined
    std::size_t point_count = 0;
    std::uint64_t lines_before = 0;
    for (Piece& piece : pieces) {
        if (pieces.size() > 1) {
            series.ppm.insert(series.ppm.end(), piece.ppm.begin(), piece.ppm.end());
            series.intensity.insert(series.intensity.end(), piece.intensity.begin(),
                                    piece.intensity.end());
            piece.ppm = {};
            piece.intensity = {};
        }
        if (report.read_to_end) {
            // The first piece that could not be read names the line; a piece that starts
            // inside a line too long ends as the piece before does, which comes first.
            record_split(piece.split, lines_before + piece.lines, report);
            lines_before += piece.lines;
        }
        for (const Segment& segment : piece.segments) {
            if (block.single_value_row == 0 && segment.single_value_row != 0) {
                block.single_value_row = block.rows + segment.single_value_row;
                block.single_value_line = segment.single_value_line;
            }
            block.ppm_low = std::min(block.ppm_low, segment.ppm_low);
            block.ppm_high = std::max(block.ppm_high, segment.ppm_high);
            block.rows += segment.rows;
            block.valued_rows += segment.valued_rows;
            point_count += segment.points;
            if (!segment.closed) {
                continue;
            }
            series.slice_start.push_back(point_count);
            if (series.single_value_block == 0 && block.single_value_row != 0) {
                series.single_value_block = series.slice_count();
                series.single_value_row = block.single_value_row;
                series.single_value_line = block.single_value_line;
            }
            series.ppm_low = std::min(series.ppm_low, block.ppm_low);
            series.ppm_high = std::max(series.ppm_high, block.ppm_high);
            block = Segment{};
        }
    }
    report.unfinished_rows = block.valued_rows;
    series.ppm.resize(series.slice_start.back());
    series.intensity.resize(series.slice_start.back());
}

} // namespace

WindowedSeries read_windowed_series(const char* name, double window_lower, double window_upper,
                                    unsigned threads, ReadReport& report,
                                    std::uint64_t smallest_piece) {
    report = ReadReport{};
    WindowedSeries series;
    const FdCloser file{::open(name, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        return series;
    }
    report.opened = true;
    report.read_to_end = true;
    struct stat status {};
    const bool regular = ::fstat(file.fd, &status) == 0 && S_ISREG(status.st_mode);
    const std::uint64_t size = regular ? static_cast<std::uint64_t>(status.st_size) : 0;
    const std::uint64_t piece_count = std::max<std::uint64_t>(
        1, std::min<std::uint64_t>(threads, size / std::max<std::uint64_t>(smallest_piece, 1)));
    std::vector<Piece> pieces(piece_count);
    if (piece_count == 1) {
        cut_stream(file.fd, pieces[0], window_lower, window_upper);
    } else {
        std::vector<std::thread> workers;
        for (std::uint64_t k = 0; k < piece_count; ++k) {
            const std::uint64_t first = size * k / piece_count;
            // The last piece reads on to the end, should the file have grown.
            const std::uint64_t last =
                k + 1 == piece_count ? UINT64_MAX : size * (k + 1) / piece_count;
            workers.emplace_back(cut_piece, file.fd, first, last, std::ref(pieces[k]), window_lower,
                                 window_upper);
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
    }
    join_pieces(pieces, series, report);
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

void write_usage_text() {
    static const char usage[] = "##############################################\n"
                                "##############################################\n"
                                "\n"
                                "ERROR: Not enough input files specified. \n"
                                "USAGE: reads in 'peak.txt' and '2d.txt'  \n"
                                " files by default so they must be in your directory  \n"
                                "\n"
                                " peak.txt format: \n"
                                " peak_A(in ppm) peak_B(in ppm) \n"
                                " peak range to cut in ppm \n"
                                "  \n"
                                " eg): \n"
                                " 0.013 0.234 \n"
                                " -5.2 5.2 \n"
                                "\n"
                                "##############################################\n"
                                "##############################################\n";
    std::cerr << usage << std::flush;
}

void print_help() {
    write_usage_text();
    std::exit(1);
}

double dist(double a, double b) {
    const double difference = b - a;
    return difference * difference;
}

namespace {

void printNumber(double value, int precision, int width) {
    std::cout << std::fixed << std::setprecision(precision) << std::setw(width) << value;
}

} // namespace

void print_time(const Table& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].empty()) {
            throw std::out_of_range("print_time: row " + std::to_string(i) + " has no value");
        }
    }
    for (const Row& row : table) {
        printNumber(row[0], 6, 8);
        std::cout << ' ' << std::endl;
    }
}

void print_DATA(const Table& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        write_DATA_row(std::cout, i, table[i]);
    }
}

void append_DATA_row(std::string& line, std::size_t index, const Row& row) {
    char digits[24];
    const auto index_end = std::to_chars(digits, digits + sizeof digits, index).ptr;
    if (index_end - digits < 2) {
        line += ' ';
    }
    line.append(digits, index_end);
    line += ' ';
    for (const double value : row) {
        append_fixed(line, value, 3, 6);
        line += ' ';
    }
    line += '\n';
}

void write_DATA_row(std::ostream& out, std::size_t index, const Row& row) {
    std::string line;
    append_DATA_row(line, index, row);
    if (!row.empty()) {
        out << std::fixed << std::setprecision(3);
    }
    out.width(0);
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

void print_DATA3(const TableSeries& series) {
    for (const Table& block : series) {
        for (const Row& row : block) {
            for (const double value : row) {
                printNumber(value, 6, 8);
                std::cout << ' ';
            }
            std::cout << std::endl;
        }
        std::cout << '&' << std::endl;
    }
}

FixedColumn vec2matrix(const Table& table) {
    FixedColumn column{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        for (std::size_t k = 0; k < table[i].size(); ++k) {
            if (i + k >= column.size()) {
                throw std::out_of_range("vec2matrix: row " + std::to_string(i) + ", value " +
                                        std::to_string(k) + " falls outside the " +
                                        std::to_string(column.size()) + "-element column");
            }
            column[i + k] = table[i][k];
        }
    }
    return column;
}

namespace {

// A line's text for a message: at most 40 characters, bytes that do not print as '?'.
std::string shown_line(std::string_view line) {
    std::string text;
    for (const char c : line.substr(0, 40)) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte < 0x7f ? c : '?';
    }
    return line.size() > 40 ? text + "..." : text;
}

// The single number of `field` (no blanks inside), an optional '+' before it; nothing else.
bool one_number(std::string_view field, double& value) {
    if (field.size() > 1 && field[0] == '+' && field[1] != '-') {
        field.remove_prefix(1);
    }
    const char* const end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, value);
    return error == std::errc() && stop == end && std::isfinite(value);
}

} // namespace

ZValues parse_z_values(const std::string& text, const std::string& name) {
    ZValues z;
    z.opened = true;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t stop = text.find('\n', start);
        if (stop == std::string::npos) {
            stop = text.size();
        }
        const std::string_view line(text.data() + start, stop - start);
        start = stop + 1;
        ++z.line_count;
        std::string_view content = line.substr(0, line.find('#'));
        while (!content.empty() && is_classic_space(content.front())) {
            content.remove_prefix(1);
        }
        while (!content.empty() && is_classic_space(content.back())) {
            content.remove_suffix(1);
        }
        if (content.empty()) {
            continue;
        }
        double value = 0.0;
        const bool blank_inside =
            std::find_if(content.begin(), content.end(), is_classic_space) != content.end();
        if (blank_inside || !one_number(content, value)) {
            z.problem = name + ": line " + std::to_string(z.line_count) +
                        ": expected one number (the slice's x value), found '" + shown_line(line) +
                        "'";
            return z;
        }
        z.values.push_back(value);
        z.lines.push_back(z.line_count);
    }
    return z;
}

ZValues read_z_file(const std::string& name) {
    std::error_code ignored;
    std::ifstream file;
    if (!std::filesystem::is_directory(name, ignored)) {
        file.open(name, std::ios::binary);
    }
    std::string text;
    if (file.is_open()) {
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    if (!file.is_open() || file.bad()) {
        ZValues z;
        z.problem = name + ": cannot be read: " +
                    (std::filesystem::is_directory(name, ignored) ? "it is a directory, not a file"
                     : file.is_open() ? "a read error stopped the reading"
                                      : "it cannot be opened");
        return z;
    }
    return parse_z_values(text, name);
}

std::string check_z_count(const ZValues& z, const std::string& name, std::size_t slice_count) {
    const std::size_t count = z.values.size();
    if (count == slice_count) {
        return "";
    }
    const std::string needed = "; expected one value per slice, " + std::to_string(slice_count) +
                               (slice_count == 1 ? " slice" : " slices") + " in 2d.txt";
    if (count > slice_count) {
        return name + ": line " + std::to_string(z.lines[slice_count]) + ": value " +
               std::to_string(slice_count + 1) + " is one too many" + needed;
    }
    return name + ": line " + std::to_string(z.line_count) +
           " (end of file): " + std::to_string(count) + (count == 1 ? " value" : " values") +
           needed;
}
