// Spectra as spectrometers store them: Bruker TopSpin processed data (a pseudo-2D 2rr or 1D
// 1r files) and JCAMP-DX 1D spectra, read into ppm axes and intensities for 2d.txt.
// The parsers take the file's bytes, so that they can be fed anything; the readers that take
// folders and file names are thin layers over them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// A refusal of spectrometer input. `status` is the exit status it calls for: 1 for input that
// is missing, 2 for input that is malformed or of a kind not read; the message names the file
// and the parameter or line.
struct ImportError : std::runtime_error {
    ImportError(int exit_status, const std::string& message)
        : std::runtime_error(message), status(exit_status) {}
    int status;
};

// One spectrum: the ppm of every point, in stored order, and its intensity.
struct Spectrum {
    std::vector<double> ppm;
    std::vector<double> intensity;
};

// What a reader made of its input: the slices, the x value of each slice where the data carry
// one, and lines telling the user what was read and how (for standard output).
struct ImportedSeries {
    std::vector<Spectrum> slices;
    std::vector<double> x_values; // empty, or one per slice
    std::string x_description;    // e.g. "vdlist (unit s)"
    std::vector<std::string> notes;
};

// ---------------------------------------------------------------------------------------
// Bruker TopSpin
// ---------------------------------------------------------------------------------------

// The `##$NAME= value` lines of a procs, proc2s, acqus or acqu2s file, by NAME. A value that
// goes on over further lines (arrays) is kept joined by blanks.
using BrukerParameters = std::map<std::string, std::string>;
BrukerParameters parse_bruker_parameters(const std::string& text);

// `text` without the blanks, tabs and carriage returns around it.
std::string trimmed(const std::string& text);

// A parameter as a number; refused (status 2) naming the parameter and `file_name` when it
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

// The rows of a 2rr matrix of si1 rows (F1) of si2 points (F2), stored as tiles of xdim1 rows
// of xdim2 points each, tile rows after tile rows; row r, point c lands at [r * si2 + c].
std::vector<double> untile_2rr(const std::vector<double>& stored, std::size_t si2, std::size_t si1,
                               std::size_t xdim2, std::size_t xdim1);

// The ppm axis of one dimension: point i at OFFSET - i * SW_p / (SF * SI).
std::vector<double> bruker_ppm_axis(const BrukerParameters& procs, const std::string& file_name);

// A vdlist, vclist, vplist or vtlist: one number per line, each with the same unit suffix
// (such as "s" or "m") or none; empty lines are skipped.
struct XList {
    std::vector<double> values;
    std::string unit;
};
XList parse_x_list(const std::string& text, const std::string& file_name);

// A pseudo-2D processing folder (.../EXPNO/pdata/PROCNO holding 2rr, procs and proc2s, with
// acqu2s in EXPNO): one slice per acquired F1 row. `x_list` names the list to use ("vdlist",
// ...), or is empty to take the first of vdlist, vclist, vplist, vtlist present, or "none".
ImportedSeries read_bruker_pseudo2d(const std::filesystem::path& procno, const std::string& x_list);

// The spectrum of a 1r file's bytes, as procs describes it.
Spectrum bruker_1d_spectrum(const BrukerParameters& procs, const std::string& bytes,
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

// The values of one ASDF or AFFN data line, abscissa first, each DUP expanded. `ends_in_dif`
// tells whether the line's last value was written in DIF form, so that the next line opens
// with a y-check. Refused (status 2) naming `where` for a character of no form.
struct DataLine {
    std::vector<double> values;
    bool ends_in_dif = false;
};
DataLine decode_jcamp_line(const std::string& line, const std::string& where);

// ---------------------------------------------------------------------------------------
// Series
// ---------------------------------------------------------------------------------------

// Reads each input in order: a folder as Bruker processed data (a pseudo-2D folder only
// alone), a file as JCAMP-DX. Slices from several inputs must share one ppm axis.
ImportedSeries read_spectrometer_inputs(const std::vector<std::filesystem::path>& inputs,
                                        const std::string& x_list);

// Keeps the points strictly inside the window (either order of the limits).
Spectrum cut_to_window(const Spectrum& spectrum, double limit_a, double limit_b);

// The series as 2d.txt: "ppm intensity" lines in shortest round-trip form, a line "&" after
// each slice, comment lines with `header` first.
std::string format_series(const std::vector<Spectrum>& slices, const std::string& header);
