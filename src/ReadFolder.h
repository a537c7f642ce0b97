// The inputs of a fit in one folder, read and checked in the programs' order: the x values
// file, the two inputs present, peaks.txt, 2d.txt cut to the window (and noise region) and
// checked, then the count of x values. The programs read their working directory with it and
// the Python module any folder.
#pragma once

#include "ReadChecks.h"
#include "ReadSeries.h"
#include "ReadZValues.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct FolderInput {
    std::optional<ZValues> z; // when FolderReading::z_file names one
    PeakSettings peaks;
    WindowedSeries series;
};

// What to read, and what the caller does between the steps (each step may be empty).
struct FolderReading {
    std::string folder = ".";
    std::string z_file;         // the x value of each slice: a path, or empty for none
    bool widths_needed = false; // the fixed half-widths of peaks.txt's third row
    NoiseRegion noise;
    // Called once both inputs are known to be there, for the threads 2d.txt is read with.
    std::function<unsigned()> thread_count;
    // Called with the refusal's message when 2d.txt or peaks.txt cannot be opened.
    std::function<void(const std::string& message)> before_missing_refusal;
    std::function<void()> before_peaks;      // peaks.txt is read next
    std::function<void()> after_series_read; // 2d.txt is read, its checks come next
    // The warnings of peaks.txt, then those of the series checks (given also before their
    // refusal: what was noticed still holds).
    std::function<void(const std::vector<std::string>& warnings)> warnings;
};

// Whether an input can be opened for reading: fileExists, but a FIFO is not opened (which
// would take its writer's data from the reader that opens it next), only its permission read.
bool input_can_be_read(const std::string& path);

// The lines naming 2d.txt and peaks.txt of `folder` where either cannot be opened ("2d.txt: not
// found in /path", "peaks.txt: cannot be opened for reading in /path: Permission denied"); empty
// when both can.
std::string missing_inputs_message(const std::string& folder);

// Reads the folder as described above. Throws Failure: unreadable_input with
// missing_inputs_message when an input cannot be opened; whatever read_z_file,
// read_peak_settings, check_fit_series, check_noise_region and check_z_count throw.
FolderInput read_folder_input(const FolderReading& reading);
