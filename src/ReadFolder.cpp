// A fit's inputs read from one folder, in the programs' order.
#include "ReadFolder.h"

#include "Failure.h"
#include "Read.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string in_folder(const std::string& folder, const char* name) {
    return folder == "." ? std::string(name) : (fs::path(folder) / name).string();
}

// The folder as messages name it: absolute, without a last '/'.
std::string shown_folder(const std::string& folder) {
    std::error_code error;
    if (folder == ".") {
        const fs::path current = fs::current_path(error);
        return error ? "the working directory" : current.string();
    }
    const fs::path absolute = fs::absolute(folder, error);
    const std::string where = error ? folder : absolute.lexically_normal().string();
    return where.size() > 1 && where.back() == '/' ? where.substr(0, where.size() - 1) : where;
}

} // namespace

bool input_can_be_read(const std::string& path) {
    // A FIFO is not opened to be checked: its writer's data would go to the check, not to the
    // reader that opens it next.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
        return ::access(path.c_str(), R_OK) == 0;
    }
    return fileExists(path);
}

std::string missing_inputs_message(const std::string& folder) {
    std::string message;
    std::string where;
    for (const char* name : {"2d.txt", "peaks.txt"}) {
        const std::string path = in_folder(folder, name);
        if (input_can_be_read(path)) {
            continue;
        }
        if (where.empty()) {
            where = shown_folder(folder);
        }
        message += message.empty() ? "" : "\n";
        std::error_code error;
        if (!fs::exists(path, error)) {
            message += std::string(name) + ": not found in " + where;
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const std::string reason = fd < 0 ? std::string(": ") + std::strerror(errno) : "";
        if (fd >= 0) {
            ::close(fd);
        }
        message += std::string(name) + ": cannot be opened for reading in " + where + reason;
    }
    return message;
}

FolderInput read_folder_input(const FolderReading& reading) {
    FolderInput input;
    if (!reading.z_file.empty()) { // the count is checked once 2d.txt has been read
        input.z = read_z_file(reading.z_file);
    }
    const std::string missing = missing_inputs_message(reading.folder);
    if (!missing.empty()) {
        if (reading.before_missing_refusal) {
            reading.before_missing_refusal(missing);
        }
        throw Failure(FailureKind::unreadable_input, missing);
    }
    const unsigned threads = reading.thread_count ? reading.thread_count() : 1;

    if (reading.before_peaks) {
        reading.before_peaks();
    }
    std::vector<std::string> warnings;
    input.peaks =
        read_peak_settings(in_folder(reading.folder, "peaks.txt"), reading.widths_needed, warnings);
    if (reading.warnings) {
        reading.warnings(warnings);
    }

    ReadReport report;
    input.series =
        read_windowed_series(in_folder(reading.folder, "2d.txt").c_str(), input.peaks.window_lower,
                             input.peaks.window_upper, reading.noise, threads, report);
    if (reading.after_series_read) {
        reading.after_series_read();
    }
    warnings.clear();
    try {
        check_fit_series(input.series, report, input.peaks, warnings);
        check_noise_region(input.series, reading.noise, input.peaks, warnings);
    } catch (const Failure&) {
        if (reading.warnings) {
            reading.warnings(warnings);
        }
        throw;
    }
    if (reading.warnings) {
        reading.warnings(warnings);
    }
    if (input.z) {
        check_z_count(*input.z, reading.z_file, input.series.slice_count());
    }
    return input;
}
