// Spectra as spectrometers and processing programs store them: Bruker TopSpin processed data (a
// pseudo-2D 2rr or 1D 1r files), JCAMP-DX 1D spectra and NMRPipe files (a pseudo-2D or 1D
// spectra), read into ppm axes and intensities for 2d.txt.
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
#include <optional>
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
// NMRPipe
// ---------------------------------------------------------------------------------------

// An NMRPipe file: a header of 512 float32 words, then float32 data, all in the byte order
// that word 2 (FDFLTORDER, 2.345) shows. Words are counted from 0.
constexpr std::size_t nmrpipe_header_bytes = 2048;
// The largest NMRPipe file read: far beyond a real series, so that a runaway size is refused
// from its header before anything else is read.
constexpr std::uint64_t max_nmrpipe_bytes = std::uint64_t(1) << 30;

// What the header says of the layout of the data and of the direct dimension's axis.
struct NmrpipeHeader {
    bool big_endian = false;
    int dimensions = 0;                // FDDIMCOUNT, 1 or 2
    std::size_t points = 0;            // FDSIZE: points of a row (complex points when complex)
    std::size_t rows = 0;              // FDSPECNUM
    bool complex = false;              // FDF2QUADFLAG 0: each row's imaginary half follows its real
    bool indirect_spectrum = false;    // FDF1FTFLAG 1: the rows are a true 2D, not a series
    double sweep_width = 0.0;          // FDF2SW, Hz
    double origin = 0.0;               // FDF2ORIG, Hz at the last point
    double observe = 0.0;              // FDF2OBS, MHz
    double whole_file_quad_flag = 1.0; // FDQUADFLAG: 1 when all the data are real
};

// Whether the first bytes of a file hold 2.345 in word 2, in either byte order.
bool is_nmrpipe_header(std::string_view head);

// The header of the first 2048 bytes of `file_name`. Refused (malformed_input), naming the file
// and the header word, for what is not read: no FDFLTORDER either way round, a time-domain
// direct dimension, a 3D or 4D file or a series of several files, a transposed file, a complex
// F1, a size that is not a positive whole number. The layout of a row follows FDF2QUADFLAG.
NmrpipeHeader parse_nmrpipe_header(std::string_view head, const std::string& file_name);

// The bytes of the whole file, header included, that the header calls for.
std::uint64_t nmrpipe_file_bytes(const NmrpipeHeader& header);

// The ppm of every real point of a row: (FDF2ORIG + FDF2SW - (i + 1) FDF2SW / N) / FDF2OBS.
std::vector<double> nmrpipe_ppm_axis(const NmrpipeHeader& header, const std::string& file_name);

// The series of a whole NMRPipe file's bytes: one slice per row (the real half of a complex
// row), with notes saying what was read and a warning for a true 2D. Refused as the header is,
// and when the bytes are not the size the header calls for or a point is not finite.
ImportedSeries parse_nmrpipe(std::string_view bytes, const std::string& file_name);

// An NMRPipe file read within bounds: its header first, then the whole file only when its
// size is the one the header calls for (and at most max_nmrpipe_bytes).
ImportedSeries read_nmrpipe(const std::filesystem::path& file);

// The files of a printf-style template (one conversion such as %d or %03d, %% for a percent
// sign): the names for 1, 2, ... up to the first that names nothing. Empty when `input` holds
// no such conversion; refused (unreadable_input) when the name for 1 names nothing.
std::vector<std::filesystem::path> template_files(const std::string& input);

// Whether the x list of read_spectrometer_inputs names a list file, not one of a Bruker
// experiment's lists (vdlist, vclist, vplist, vtlist), "none" or "" (the default).
bool names_x_list_file(const std::string& x_list);

// The kind of list a list file is read as: vdlist, vclist, vplist or vtlist when its name
// starts so, else "list", whose entries may carry one unit s, m, u or K, or none.
std::string x_list_kind(const std::filesystem::path& file);

// ---------------------------------------------------------------------------------------
// Series
// ---------------------------------------------------------------------------------------

// Reads each input in order: a folder as Bruker processed data (a pseudo-2D folder only
// alone), a file as NMRPipe when its header says so, else as JCAMP-DX; a name that names
// nothing but is a template (template_files) as the files it numbers. Slices from several
// inputs must share one ppm axis. `x_list` names the list of a Bruker pseudo-2D, "none", or,
// where names_x_list_file, a list file giving the x value of every slice of any input.
ImportedSeries read_spectrometer_inputs(const std::vector<std::filesystem::path>& inputs,
                                        const std::string& x_list);

// Why the pulse program calls for a particular fit, as a line for standard output, or "".
std::string pulse_program_advice(const std::string& pulse_program);

// A line as a suggestion for peaks.txt: where a local maximum lies and its height relative to
// the tallest of those reported.
struct LineSuggestion {
    double ppm = 0.0;
    double relative_height = 0.0;
    // ppm: the half width at half height, from the points where the line falls to half its
    // height on either side (the mean of both, or the one side reached before a neighbour's
    // rise); empty when neither side falls that far.
    std::optional<double> half_width;
};

// The index of the slice holding the largest absolute intensity (the first of equals).
std::size_t loudest_slice(const std::vector<ImportedSpectrum>& slices);

// Up to `count` local maxima of `spectrum`, tallest first: points above their left neighbour
// and not below their right one, the two end points excluded. Where the largest absolute
// intensity is negative (inverted lines) the minima are taken, heights still counted from 0 in
// the direction of that intensity; only maxima beyond 0 in that direction count.
std::vector<LineSuggestion> tallest_lines(const ImportedSpectrum& spectrum, std::size_t count);

// The first comment line of a lines.txt that pairfit-import writes, by which a later import
// knows the file as its own (and replaces it) from one a user wrote (which it keeps).
extern const char* const imported_lines_head;

// lines.txt of `lines` (tallest first): the head, then a row "Lk PPM HALF_WIDTH" per line
// (its half-width '-' when it was not measured) with its relative height as a comment.
std::string format_lines_suggestion(const std::vector<LineSuggestion>& lines, std::size_t slice,
                                    const std::string& source);

// Keeps the points strictly inside the window (either order of the limits).
ImportedSpectrum cut_to_window(const ImportedSpectrum& spectrum, double limit_a, double limit_b);
// Every slice cut so; throws Failure (unreadable_input) when no point of slice 0 lies inside.
std::vector<ImportedSpectrum> cut_slices_to_window(const std::vector<ImportedSpectrum>& slices,
                                                   double limit_a, double limit_b);

// The series as 2d.txt: "ppm intensity" lines in shortest round-trip form, a line "&" after
// each slice, comment lines with `header` first.
std::string format_series(const std::vector<ImportedSpectrum>& slices, const std::string& header);
