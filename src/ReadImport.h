// Spectra as spectrometers store them: Bruker TopSpin processed data (a pseudo-2D 2rr or 1D
// 1r files) and JCAMP-DX 1D spectra, read into ppm axes and intensities for 2d.txt.
// The parsers take the file's bytes, so that they can be fed anything; the readers that take
// folders and file names are thin layers over them.

// Every refusal is a Failure (Failure.h): unreadable_input for input that is missing or
// cannot be opened, malformed_input for input that is malformed, too large or of a kind not
// read; the message names the file and the parameter or line.
#pragma once

#include "Failure.h"
#include "Read.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One spectrum: the ppm of every point, in stored order, and its intensity.
struct ImportedSpectrum {
    std::vector<double> ppm;
    std::vector<double> intensity;
};

// What a reader made of its input: the slices, the x value of each slice where the data carry
// one, lines telling the user what was read and how (for standard output), and warnings (for
// standard error).
struct ImportedSeries {
    std::vector<ImportedSpectrum> slices;
    std::vector<double> x_values; // empty, or one per slice
    std::string x_description;    // e.g. "vdlist (unit s)"
    std::string x_unit;           // the unit of x_values ("s"), empty when the list has none
    std::vector<std::string> notes;
    std::vector<std::string> warnings;
    std::string pulse_program; // ##$PULPROG of the experiment's acqus, without <>; may be empty
};

// ---------------------------------------------------------------------------------------
// Reading outside input within bounds
// ---------------------------------------------------------------------------------------

// The largest parameter file (procs, proc2s, acqus, acqu2s) or x list read, and the largest
// JCAMP-DX file: far beyond any real one, so that an endless or runaway file is refused
// before it fills the memory.
constexpr std::uint64_t max_parameter_bytes = std::uint64_t(64) << 20;
constexpr std::uint64_t max_jcamp_bytes = std::uint64_t(1) << 30;

// The bytes of a regular file of at most `limit` bytes. Refused as unreadable_input when it
// cannot be opened or read (with the system's reason), as malformed_input when it is not a
// regular file (a folder, a device such as /dev/zero, a FIFO) or holds more than `limit`.
std::string read_bounded_file(const std::filesystem::path& path, std::uint64_t limit);

// The bytes of a regular binary file that must hold exactly `size` bytes, checked against
// the file's size before anything is read; `what` says what its parameters call for ("1024
// points of 4 bytes").
std::string read_exact_file(const std::filesystem::path& path, std::uint64_t size,
                            const std::string& what);

// Whether anything lies at `path` (following links); refused as unreadable_input, with the
// reason, when that cannot be told (a folder without search permission).
bool input_exists(const std::filesystem::path& path);

// ---------------------------------------------------------------------------------------
// Bruker TopSpin
// ---------------------------------------------------------------------------------------

// The `##$NAME= value` lines of a procs, proc2s, acqus or acqu2s file, by NAME. A value that
// goes on over further lines (arrays) is kept joined by blanks.
using BrukerParameters = std::map<std::string, std::string>;
BrukerParameters parse_bruker_parameters(const std::string& text);

// A parameter as a number; refused (malformed_input) naming the parameter and `file_name` when it
// is absent or not a number.
double bruker_number(const BrukerParameters& parameters, const std::string& name,
                     const std::string& file_name);

// How the points of a 1r or 2rr file are stored, from BYTORDP, DTYPP and NC_proc.
struct BrukerStorage {
    bool big_endian = false;
    bool float64 = false; // else 32-bit integers
    int nc_proc = 0;      // intensity = stored value * 2^nc_proc
};
BrukerStorage bruker_storage(const BrukerParameters& procs, const std::string& file_name);

// The intensities of `count` points; refused when the bytes are not exactly that many points.
std::vector<double> decode_bruker_points(const std::string& bytes, const BrukerStorage& storage,
                                         std::size_t count, const std::string& file_name);

// The ppm axis of one dimension: point i at OFFSET - i * SW_p / (SF * SI).
std::vector<double> bruker_ppm_axis(const BrukerParameters& procs, const std::string& file_name);

// A vdlist, vclist, vplist or vtlist (`list_name`): one number per line, each with the same
// unit suffix or none; blank lines are skipped. The suffixes TopSpin writes are taken, and no
// other: "s", "m" (milli) or "u" (micro) in a vdlist or vplist, "K" in a vtlist, none in a
// vclist, whose entries are whole counts. Anything else is refused naming `file_name` and the
// line (with a hint where a decimal comma stands).
struct XList {
    std::vector<double> values;
    std::string unit;
};
XList parse_x_list(const std::string& text, const std::string& list_name,
                   const std::string& file_name);

// The unit suffixes `list_name` may carry, as text for messages ("s, m or u").
std::string x_list_units(const std::string& list_name);

// A pseudo-2D processing folder (.../EXPNO/pdata/PROCNO holding 2rr, procs and proc2s, with
// acqu2s in EXPNO): one slice per acquired F1 row. `x_list` names the list to use ("vdlist",
// ...), or is empty to take the first of vdlist, vclist, vplist, vtlist present, or "none".
ImportedSeries read_bruker_pseudo2d(const std::filesystem::path& procno, const std::string& x_list);

// The spectrum of a 1r file's bytes, as procs describes it.
ImportedSpectrum bruker_1d_spectrum(const BrukerParameters& procs, const std::string& bytes,
                                    const std::string& procs_name, const std::string& data_name);

// A 1D processing folder (1r and procs): one slice.
ImportedSeries read_bruker_1d(const std::filesystem::path& procno);

// ---------------------------------------------------------------------------------------
// JCAMP-DX
// ---------------------------------------------------------------------------------------

// The 1D NMR spectrum of a JCAMP-DX file (XYDATA, a LINK file's NMR SPECTRUM block, or the
// real page of NTUPLES), with its ASDF or AFFN data lines checked (DIF y-checks, abscissae
// and point count). `file_name` is used in messages only.
ImportedSeries parse_jcamp(const std::string& text, const std::string& file_name);

// ---------------------------------------------------------------------------------------
// Series
// ---------------------------------------------------------------------------------------

// Reads each input in order: a folder as Bruker processed data (a pseudo-2D folder only
// alone), a file as JCAMP-DX. Slices from several inputs must share one ppm axis.
ImportedSeries read_spectrometer_inputs(const std::vector<std::filesystem::path>& inputs,
                                        const std::string& x_list);

// Why the pulse program calls for a particular fit, as a line for standard output, or "".
std::string pulse_program_advice(const std::string& pulse_program);

// A line as a suggestion for peaks.txt: where a local maximum lies and its height relative to
// the tallest of those reported.
struct LineSuggestion {
    double ppm = 0.0;
    double relative_height = 0.0;
};

// The index of the slice holding the largest absolute intensity (the first of equals).
std::size_t loudest_slice(const std::vector<ImportedSpectrum>& slices);

// Up to `count` local maxima of `spectrum`, tallest first: points above their left neighbour
// and not below their right one, the two end points excluded. Where the largest absolute
// intensity is negative (inverted lines) the minima are taken, heights still counted from 0 in
// the direction of that intensity; only maxima beyond 0 in that direction count.
std::vector<LineSuggestion> tallest_lines(const ImportedSpectrum& spectrum, std::size_t count);

// Keeps the points strictly inside the window (either order of the limits).
ImportedSpectrum cut_to_window(const ImportedSpectrum& spectrum, double limit_a, double limit_b);
// Every slice cut so; throws Failure (unreadable_input) when no point of slice 0 lies inside.
std::vector<ImportedSpectrum> cut_slices_to_window(const std::vector<ImportedSpectrum>& slices,
                                                   double limit_a, double limit_b);

// The series as 2d.txt: "ppm intensity" lines in shortest round-trip form, a line "&" after
// each slice, comment lines with `header` first.
std::string format_series(const std::vector<ImportedSpectrum>& slices, const std::string& header);
