// 2d.txt cut to the fit window while it is read, on several threads over pieces of the file.
#include "ReadSeries.h"
#include "ReadCheckParts.h"
#include "ReadLines.h"
#include "ReadNumbers.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The rows of one block that one piece of the file holds.
struct Segment {
    std::size_t points = 0;           // inside the window
    std::size_t noise_points = 0;     // inside the noise region
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
    std::vector<double> noise_intensity;
    std::vector<Segment> segments{Segment{}};
    SplitEnd split;
    std::uint64_t lines = 0; // lines whose first byte lies in the piece's stretch
};

// Where the kept points lie: strictly inside the window, and strictly inside the noise region
// when there is one.
struct CutRegions {
    double window_lower = 0.0;
    double window_upper = 0.0;
    NoiseRegion noise;
};

class PieceCutter {
  public:
    PieceCutter(Piece& piece, const CutRegions& regions)
        : piece_(piece), lower_(regions.window_lower), upper_(regions.window_upper),
          noise_(regions.noise) {}

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
        if (noise_.given && noise_.lower < x && x < noise_.upper) {
            piece_.noise_intensity.push_back(values_[1]);
            ++segment.noise_points;
        }
    }

  private:
    Piece& piece_;
    const double lower_;
    const double upper_;
    const NoiseRegion noise_;
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
void cut_piece(int fd, std::uint64_t first, std::uint64_t last, Piece& piece,
               const CutRegions& regions) {
    PieceCutter cutter(piece, regions);
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
void cut_stream(int fd, Piece& piece, const CutRegions& regions) {
    PieceCutter cutter(piece, regions);
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
    std::size_t noise_count = 0;
    std::uint64_t lines_before = 0;
    for (Piece& piece : pieces) {
        if (pieces.size() > 1) {
            series.ppm.insert(series.ppm.end(), piece.ppm.begin(), piece.ppm.end());
            series.intensity.insert(series.intensity.end(), piece.intensity.begin(),
                                    piece.intensity.end());
            piece.ppm = {};
            piece.intensity = {};
        }
        series.noise_intensity.insert(series.noise_intensity.end(), piece.noise_intensity.begin(),
                                      piece.noise_intensity.end());
        piece.noise_intensity = {};
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
            noise_count += segment.noise_points;
            if (!segment.closed) {
                continue;
            }
            series.slice_start.push_back(point_count);
            series.noise_start.push_back(noise_count);
            if (report.single_value_block == 0 && block.single_value_row != 0) {
                report.single_value_block = series.slice_count();
                report.single_value_row = block.single_value_row;
                report.single_value_line = block.single_value_line;
            }
            series.ppm_low = std::min(series.ppm_low, block.ppm_low);
            series.ppm_high = std::max(series.ppm_high, block.ppm_high);
            block = Segment{};
        }
    }
    report.unfinished_rows = block.valued_rows;
    series.ppm.resize(series.slice_start.back());
    series.intensity.resize(series.slice_start.back());
    series.noise_intensity.resize(series.noise_start.back());
}

} // namespace

WindowedSeries read_windowed_series(const char* name, double window_lower, double window_upper,
                                    unsigned threads, ReadReport& report,
                                    std::uint64_t smallest_piece) {
    return read_windowed_series(name, window_lower, window_upper, NoiseRegion{}, threads, report,
                                smallest_piece);
}

WindowedSeries read_windowed_series(const char* name, double window_lower, double window_upper,
                                    const NoiseRegion& noise, unsigned threads, ReadReport& report,
                                    std::uint64_t smallest_piece) {
    const CutRegions regions{window_lower, window_upper, noise};
    report = ReadReport{};
    WindowedSeries series;
    const FdCloser file{::open(name, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        report.error_number = errno;
        return series;
    }
    report.opened = true;
    report.read_to_end = true;
    struct stat status {};
    const bool regular = ::fstat(file.fd, &status) == 0 && S_ISREG(status.st_mode);
    report.is_directory = S_ISDIR(status.st_mode);
    const std::uint64_t size = regular ? static_cast<std::uint64_t>(status.st_size) : 0;
    const std::uint64_t piece_count = std::max<std::uint64_t>(
        1, std::min<std::uint64_t>(threads, size / std::max<std::uint64_t>(smallest_piece, 1)));
    std::vector<Piece> pieces(piece_count);
    if (piece_count == 1) {
        cut_stream(file.fd, pieces[0], regions);
    } else {
        std::vector<std::thread> workers;
        for (std::uint64_t k = 0; k < piece_count; ++k) {
            const std::uint64_t first = size * k / piece_count;
            // The last piece reads on to the end, should the file have grown.
            const std::uint64_t last =
                k + 1 == piece_count ? UINT64_MAX : size * (k + 1) / piece_count;
            workers.emplace_back(cut_piece, file.fd, first, last, std::ref(pieces[k]),
                                 std::cref(regions));
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
    }
    join_pieces(pieces, series, report);
    return series;
}

double noise_of(const WindowedSeries& series, std::size_t slice) {
    const std::size_t first = series.noise_start[slice];
    const std::size_t end = series.noise_start[slice + 1];
    double sum = 0.0;
    for (std::size_t i = first; i < end; ++i) {
        sum += series.noise_intensity[i];
    }
    const double count = static_cast<double>(end - first);
    const double mean = sum / count;
    double squares = 0.0;
    for (std::size_t i = first; i < end; ++i) {
        const double deviation = series.noise_intensity[i] - mean;
        squares += deviation * deviation;
    }
    return std::sqrt(squares / (count - 1.0));
}

double mean_point_spacing(double first_ppm, double last_ppm, std::size_t points) {
    return std::fabs(last_ppm - first_ppm) / static_cast<double>(points - 1);
}

PointSpacing read_point_spacing(const std::string& name) {
    PointSpacing spacing;
    struct stat status {};
    if (::stat(name.c_str(), &status) != 0) {
        spacing.problem = name + ": " + (errno == ENOENT ? "not found" : std::strerror(errno));
        return spacing;
    }
    // A FIFO or a device would block or never end; only a regular file holds a series.
    if (!S_ISREG(status.st_mode)) {
        spacing.problem = name + ": not a regular file";
        return spacing;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
    if (!file) {
        spacing.problem = name + ": cannot be read: " + std::strerror(errno);
        return spacing;
    }
    const auto read_chunk = [&](char* into, std::size_t room) -> std::ptrdiff_t {
        const std::size_t got = std::fread(into, 1, room, file.get());
        return got == 0 && std::ferror(file.get()) ? -1 : static_cast<std::ptrdiff_t>(got);
    };
    Row values;
    std::size_t rows = 0, points = 0;
    double first = 0.0, last = 0.0;
    bool closed = false;
    const SplitEnd split = split_lines(read_chunk, [&](std::string_view line, std::uint64_t) {
        if (line.empty() || line[0] == '#') {
            return true;
        }
        if (line[0] == '&') {
            closed = true;
            return false;
        }
        ++rows;
        parse_fields(line, values);
        if (values.size() == 1 && spacing.problem.empty()) {
            spacing.problem = single_value_message(1, rows, excerpt_of(line), name);
        }
        if (values.size() >= 2) {
            first = points == 0 ? values[0] : first;
            last = values[0];
            ++points;
        }
        return spacing.problem.empty();
    });
    if (!spacing.problem.empty()) {
        return spacing;
    }
    if (split.read_error) {
        spacing.problem = name + ": cannot be read: " + std::strerror(split.error_number);
    } else if (split.line_too_long) {
        spacing.problem = name + ": line " + std::to_string(split.lines + 1) + " is longer than " +
                          std::to_string(max_line_length >> 20) + " MiB: no text table";
    } else if (!closed) {
        spacing.problem = name + ": holds no block closed by a line starting with '&'";
    } else if (points < 2) {
        spacing.problem = name + ": block 1 holds " + std::to_string(points) +
                          (points == 1 ? " point" : " points") + ", too few for a point spacing";
    } else if (const double ppm = mean_point_spacing(first, last, points);
               std::isfinite(ppm) && ppm > 0.0) {
        spacing.ppm = ppm;
    } else {
        spacing.problem =
            name + ": block 1 starts and ends at the same ppm, so it has no point spacing";
    }
    return spacing;
}
