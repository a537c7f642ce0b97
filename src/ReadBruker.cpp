// Bruker TopSpin processed data: parameter files, binary points, the 2rr tiling, x lists.
#include "ReadImportParts.h"
#include "ReadNumbers.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void malformed(const std::string& message) {
    throw Failure(FailureKind::malformed_input, message);
}

BrukerParameters read_parameters(const fs::path& path) {
    return parse_bruker_parameters(read_bounded_file(path, max_parameter_bytes));
}

// The bytes of a 1r or 2rr file of `count` points as `storage` describes them.
std::string read_points(const fs::path& path, const BrukerStorage& storage, std::size_t count,
                        const std::string& shape) {
    const std::uint64_t width = storage.float64 ? 8 : 4;
    return read_exact_file(path, count * width,
                           shape + " points of " + std::to_string(width) + " bytes");
}

std::size_t point_count(const BrukerParameters& parameters, const std::string& name,
                        const std::string& file_name) {
    const double value = bruker_number(parameters, name, file_name);
    if (value < 1 || value > 1e9 || value != std::floor(value)) {
        malformed(file_name + ": parameter " + name + " must be a positive whole number, found " +
                  quoted_text(parameters.at(name)));
    }
    return static_cast<std::size_t>(value);
}

std::string shown(double value) {
    std::ostringstream text;
    text.precision(10);
    text << value;
    return text.str();
}

std::string storage_note(const BrukerStorage& storage) {
    return std::string("stored as ") + (storage.float64 ? "float64" : "int32") +
           (storage.big_endian ? ", big endian" : ", little endian") + ", intensity scale 2^" +
           std::to_string(storage.nc_proc) + " (NC_proc)";
}

std::string axis_note(const std::vector<double>& ppm, const BrukerParameters& procs) {
    return std::to_string(ppm.size()) + " points from " + shown(ppm.front()) + " to " +
           shown(ppm.back()) + " ppm (OFFSET " + procs.at("OFFSET") + ", SW_p " + procs.at("SW_p") +
           " Hz, SF " + procs.at("SF") + " MHz)";
}

} // namespace

BrukerParameters parse_bruker_parameters(const std::string& text) {
    BrukerParameters parameters;
    std::istringstream lines(text);
    std::string line;
    std::string* current = nullptr;
    while (std::getline(lines, line)) {
        if (line.rfind("##", 0) == 0) {
            current = nullptr;
            const auto equals = line.find('=');
            if (line.rfind("##$", 0) == 0 && equals != std::string::npos) {
                const std::string name = trimmed(line.substr(3, equals - 3));
                current = &(parameters[name] = trimmed(line.substr(equals + 1)));
            }
        } else if (line.rfind("$$", 0) == 0) {
            current = nullptr;
        } else if (current != nullptr) {
            const std::string more = trimmed(line);
            if (!more.empty()) {
                *current += (current->empty() ? "" : " ") + more;
            }
        }
    }
    return parameters;
}

double bruker_number(const BrukerParameters& parameters, const std::string& name,
                     const std::string& file_name) {
    const auto found = parameters.find(name);
    if (found == parameters.end()) {
        malformed(file_name + ": no parameter " + name + " (a line ##$" + name + "= )");
    }
    double value = 0.0;
    if (!parse_number(trimmed(found->second), value)) {
        malformed(file_name + ": parameter " + name + " must be a number, found " +
                  quoted_text(found->second));
    }
    return value;
}

BrukerStorage bruker_storage(const BrukerParameters& procs, const std::string& file_name) {
    BrukerStorage storage;
    const double order = bruker_number(procs, "BYTORDP", file_name);
    const double type = bruker_number(procs, "DTYPP", file_name);
    const double nc = bruker_number(procs, "NC_proc", file_name);
    if (order != 0 && order != 1) {
        malformed(file_name + ": BYTORDP must be 0 (little endian) or 1 (big " + "endian), found " +
                  quoted_text(procs.at("BYTORDP")));
    }
    if (type != 0 && type != 2) {
        malformed(file_name + ": DTYPP must be 0 (int32) or 2 (float64), found " +
                  quoted_text(procs.at("DTYPP")));
    }
    if (nc != std::floor(nc) || std::fabs(nc) > 1000) {
        malformed(file_name + ": NC_proc must be a whole number, found " +
                  quoted_text(procs.at("NC_proc")));
    }
    storage.big_endian = order == 1;
    storage.float64 = type == 2;
    storage.nc_proc = static_cast<int>(nc);
    return storage;
}

std::vector<double> decode_bruker_points(const std::string& bytes, const BrukerStorage& storage,
                                         std::size_t count, const std::string& file_name) {
    const std::size_t width = storage.float64 ? 8 : 4;
    if (bytes.size() != count * width) {
        malformed(file_name + ": holds " + std::to_string(bytes.size()) +
                  " bytes, the parameters call for " + std::to_string(count) + " points of " +
                  std::to_string(width) + " bytes (" + std::to_string(count * width) + " bytes)");
    }
    std::vector<double> points(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t word = 0;
        for (std::size_t b = 0; b < width; ++b) {
            const std::size_t shift = storage.big_endian ? width - 1 - b : b;
            word |= std::uint64_t(static_cast<unsigned char>(bytes[i * width + b])) << (8 * shift);
        }
        double value = 0.0;
        if (storage.float64) {
            std::memcpy(&value, &word, sizeof value);
        } else {
            value = static_cast<std::int32_t>(static_cast<std::uint32_t>(word));
        }
        points[i] = std::ldexp(value, storage.nc_proc);
        if (!std::isfinite(points[i])) {
            malformed(file_name + ": point " + std::to_string(i + 1) +
                      " is not a finite number (or overflows with NC_proc)");
        }
    }
    return points;
}

std::vector<double> untile_2rr(const std::vector<double>& stored, std::size_t si2, std::size_t si1,
                               std::size_t xdim2, std::size_t xdim1) {
    if (xdim2 == 0 || xdim1 == 0 || si2 % xdim2 != 0 || si1 % xdim1 != 0 ||
        stored.size() != si2 * si1) {
        malformed("2rr: tiles of " + std::to_string(xdim2) + " x " + std::to_string(xdim1) +
                  " do not fill " + std::to_string(si2) + " x " + std::to_string(si1) + " points");
    }
    std::vector<double> rows(stored.size());
    const std::size_t tiles_across = si2 / xdim2;
    for (std::size_t r = 0; r < si1; ++r) {
        for (std::size_t c = 0; c < si2; ++c) {
            const std::size_t tile = (r / xdim1) * tiles_across + c / xdim2;
            rows[r * si2 + c] = stored[tile * xdim1 * xdim2 + (r % xdim1) * xdim2 + c % xdim2];
        }
    }
    return rows;
}

std::vector<double> bruker_ppm_axis(const BrukerParameters& procs, const std::string& file_name) {
    const std::size_t si = point_count(procs, "SI", file_name);
    const double offset = bruker_number(procs, "OFFSET", file_name);
    const double sw_p = bruker_number(procs, "SW_p", file_name);
    const double sf = bruker_number(procs, "SF", file_name);
    if (!(sw_p > 0) || !(sf > 0)) {
        malformed(file_name + ": SW_p and SF must be above 0, found " +
                  quoted_text(procs.at("SW_p")) + " and " + quoted_text(procs.at("SF")));
    }
    std::vector<double> ppm(si);
    for (std::size_t i = 0; i < si; ++i) {
        ppm[i] = offset - static_cast<double>(i) * sw_p / (sf * static_cast<double>(si));
    }
    if (!std::isfinite(ppm.back())) {
        malformed(file_name + ": OFFSET, SW_p and SF give no finite ppm axis");
    }
    return ppm;
}

namespace {

// The one-letter unit suffixes a list may carry.
std::string unit_letters(const std::string& list_name) {
    if (list_name == "vdlist" || list_name == "vplist") {
        return "smu";
    }
    if (list_name == "list") {
        return "smuK";
    }
    return list_name == "vtlist" ? "K" : "";
}

} // namespace

std::string x_list_units(const std::string& list_name) {
    const std::string letters = unit_letters(list_name);
    std::string text;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == letters.size() ? " or " : ", ") + letters.substr(i, 1);
    }
    return text;
}

XList parse_x_list(const std::string& text, const std::string& list_name,
                   const std::string& file_name) {
    const std::string letters = unit_letters(list_name);
    const std::string units = x_list_units(list_name);
    const std::string expected =
        list_name == "vclist"
            ? std::string("a whole count")
            : "a number" + (units.empty() ? std::string() : ", with or without a unit " + units);
    XList list;
    std::istringstream lines(text);
    std::string line;
    bool unit_known = false;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string t = trimmed(line);
        if (t.empty()) {
            continue;
        }
        const std::string where = file_name + ":" + std::to_string(number) + ": ";
        std::size_t unit_start = t.size();
        while (unit_start > 0 && std::isalpha(static_cast<unsigned char>(t[unit_start - 1]))) {
            --unit_start;
        }
        const std::string unit = t.substr(unit_start);
        double value = 0.0;
        if (!parse_number(trimmed(t.substr(0, unit_start)), value)) {
            std::string hint;
            if (t.find(',') != std::string::npos) {
                hint = "; use a decimal point, not a comma";
            } else if (t.size() > 1 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
                hint = "; hexadecimal numbers are not read";
            }
            malformed(where + "expected " + expected + ", found " + quoted_text(t) + hint);
        }
        if (!unit.empty() && (unit.size() != 1 || letters.find(unit) == std::string::npos)) {
            malformed(where + "unit " + quoted_text(unit) + " is not one a " + list_name +
                      " takes (" + (units.empty() ? "none" : units) + "), found in " +
                      quoted_text(t));
        }
        if (list_name == "vclist" && value != std::floor(value)) {
            malformed(where + "expected " + expected + ", found " + quoted_text(t));
        }
        if (unit_known && unit != list.unit) {
            malformed(where + "unit " + quoted_text(unit) + " differs from " +
                      quoted_text(list.unit) + " of the lines before; write the list in one unit");
        }
        list.unit = unit;
        unit_known = true;
        list.values.push_back(value);
    }
    if (list.values.empty()) {
        malformed(file_name + ": holds no value");
    }
    return list;
}

namespace {

// The pulse program of ##$PULPROG= <name> in the experiment's acqus, without the brackets;
// "" where there is no acqus or no PULPROG.
std::string pulse_program(const fs::path& expno) {
    if (!input_exists(expno / "acqus")) {
        return "";
    }
    const BrukerParameters acqus = read_parameters(expno / "acqus");
    const auto found = acqus.find("PULPROG");
    if (found == acqus.end()) {
        return "";
    }
    std::string name = found->second;
    if (name.size() >= 2 && name.front() == '<' && name.back() == '>') {
        name = trimmed(name.substr(1, name.size() - 2));
    }
    return name;
}

} // namespace

ImportedSeries read_bruker_pseudo2d(const fs::path& procno, const std::string& x_list) {
    const fs::path expno = procno.parent_path().parent_path();
    const std::string procs_name = (procno / "procs").string();
    const std::string proc2s_name = (procno / "proc2s").string();
    const std::string acqu2s_name = (expno / "acqu2s").string();
    const BrukerParameters procs = read_parameters(procno / "procs");
    const BrukerParameters proc2s = read_parameters(procno / "proc2s");
    if (!input_exists(expno / "acqu2s")) {
        throw Failure(FailureKind::unreadable_input,
                      acqu2s_name + ": missing; it tells how many F1 rows were acquired (TD), " +
                          "so give the processing folder inside its experiment folder " +
                          "(EXPNO/pdata/PROCNO)");
    }
    const BrukerParameters acqu2s = read_parameters(expno / "acqu2s");

    // A Fourier transform along F1 makes a true 2D spectrum, whose rows are not a series.
    if (proc2s.count("FT_mod") != 0 && bruker_number(proc2s, "FT_mod", proc2s_name) != 0) {
        malformed(proc2s_name + ": FT_mod= " + proc2s.at("FT_mod") +
                  ": F1 was Fourier transformed, so this is a 2D spectrum, not a series of 1D " +
                  "spectra (pseudo-2D); it is not read");
    }
    const BrukerStorage storage = bruker_storage(procs, procs_name);
    const std::size_t si2 = point_count(procs, "SI", procs_name);
    const std::size_t si1 = point_count(proc2s, "SI", proc2s_name);
    const std::size_t xdim2 = point_count(procs, "XDIM", procs_name);
    const std::size_t xdim1 = point_count(proc2s, "XDIM", proc2s_name);
    const std::size_t td1 = point_count(acqu2s, "TD", acqu2s_name);
    if (si2 % xdim2 != 0 || si1 % xdim1 != 0) {
        malformed(procs_name + ", " + proc2s_name + ": XDIM " + std::to_string(xdim2) + " x " +
                  std::to_string(xdim1) + " does not divide SI " + std::to_string(si2) + " x " +
                  std::to_string(si1));
    }
    if (td1 > si1) {
        malformed(acqu2s_name + ": TD " + std::to_string(td1) + " exceeds SI " +
                  std::to_string(si1) + " of " + proc2s_name +
                  "; the acquired rows are not all in 2rr");
    }
    const std::string data_name = (procno / "2rr").string();
    const std::string bytes = read_points(procno / "2rr", storage, si2 * si1,
                                          std::to_string(si2) + " x " + std::to_string(si1));
    const std::vector<double> rows = untile_2rr(
        decode_bruker_points(bytes, storage, si2 * si1, data_name), si2, si1, xdim2, xdim1);
    const std::vector<double> ppm = bruker_ppm_axis(procs, procs_name);

    ImportedSeries series;
    for (std::size_t r = 0; r < td1; ++r) {
        ImportedSpectrum slice;
        slice.ppm = ppm;
        slice.intensity.assign(rows.begin() + static_cast<std::ptrdiff_t>(r * si2),
                               rows.begin() + static_cast<std::ptrdiff_t>((r + 1) * si2));
        series.slices.push_back(std::move(slice));
    }
    series.notes.push_back("Bruker pseudo-2D " + data_name + ": " + std::to_string(td1) +
                           " acquired F1 rows (TD of acqu2s) of " + std::to_string(si1) +
                           " stored (SI of proc2s), tiles " + std::to_string(xdim2) + " x " +
                           std::to_string(xdim1));
    series.notes.push_back("F2 axis: " + axis_note(ppm, procs));
    series.notes.push_back(storage_note(storage));
    series.pulse_program = pulse_program(expno);
    if (!series.pulse_program.empty()) {
        series.notes.push_back("pulse program " + series.pulse_program + " (PULPROG of " +
                               (expno / "acqus").string() + ")");
    }

    std::vector<std::string> lists;
    for (const char* name : {"vdlist", "vclist", "vplist", "vtlist"}) {
        if (input_exists(expno / name)) {
            lists.push_back(name);
        }
    }
    const bool list_file = names_x_list_file(x_list);
    std::string chosen = list_file ? x_list_kind(x_list) : x_list;
    if (chosen.empty()) {
        chosen = lists.empty() ? "none" : lists.front();
    }
    if (chosen == "none") {
        series.notes.push_back(lists.empty() ? "no vdlist, vclist, vplist or vtlist in " +
                                                   expno.string() + ": no x values"
                                             : "x list: none asked for");
        return series;
    }
    const fs::path list_path = list_file ? fs::path(x_list) : expno / chosen;
    if (!input_exists(list_path)) {
        throw Failure(FailureKind::unreadable_input, list_path.string() +
                                                         ": missing (asked for with " +
                                                         (list_file ? "--x-list" : "--list") + ")");
    }
    const XList list =
        parse_x_list(read_bounded_file(list_path, max_parameter_bytes), chosen, list_path.string());
    std::string note = assign_x_values(series, list, list_file ? list_path.string() : chosen,
                                       list_path.string(), td1, !list_file);
    for (const std::string& other : lists) {
        if (list_file || other != chosen) {
            note += "; " + other + " also present, not used (--list " + other + " takes it)";
        }
    }
    series.notes.push_back(note);
    return series;
}

std::string assign_x_values(ImportedSeries& series, const XList& list, const std::string& kind,
                            const std::string& list_path, std::size_t count, bool acquired_rows) {
    series.x_values.clear();
    for (std::size_t r = 0; r < count; ++r) {
        series.x_values.push_back(list.values[r % list.values.size()]);
    }
    series.x_unit = list.unit;
    series.x_description =
        escaped(kind, 200) + (list.unit.empty() ? "" : " (unit " + list.unit + ")");
    std::string note = "x values: " + list_path + ", " + std::to_string(list.values.size()) +
                       " values" + (list.unit.empty() ? "" : " in unit \"" + list.unit + "\"");
    if (list.values.size() < count) {
        // Rows of a Bruker experiment are counted from 1, as TopSpin does; slices from 0.
        const std::size_t first = list.values.size() + (acquired_rows ? 1 : 0);
        const std::size_t last = count - (acquired_rows ? 0 : 1);
        const std::string noun = acquired_rows ? "row" : "slice";
        series.warnings.push_back(
            list_path + ": holds " + std::to_string(list.values.size()) + " values for " +
            std::to_string(count) + (acquired_rows ? " acquired rows; " : " slices; ") +
            (first == last ? noun + " " + std::to_string(last) + " re-uses"
                           : noun + "s " + std::to_string(first) + " to " + std::to_string(last) +
                                 " re-use") +
            " its values from the start in z.txt. Check the list, or give " +
            (acquired_rows ? "--list none" : "--x-list none") + " to write no z.txt");
    } else if (list.values.size() > count) {
        note += ", the first " + std::to_string(count) + " used";
    }
    return note;
}

ImportedSpectrum bruker_1d_spectrum(const BrukerParameters& procs, const std::string& bytes,
                                    const std::string& procs_name, const std::string& data_name) {
    const BrukerStorage storage = bruker_storage(procs, procs_name);
    ImportedSpectrum spectrum;
    spectrum.intensity =
        decode_bruker_points(bytes, storage, point_count(procs, "SI", procs_name), data_name);
    spectrum.ppm = bruker_ppm_axis(procs, procs_name);
    return spectrum;
}

ImportedSeries read_bruker_1d(const fs::path& procno) {
    const std::string procs_name = (procno / "procs").string();
    const BrukerParameters procs = read_parameters(procno / "procs");
    const std::string data_name = (procno / "1r").string();
    const BrukerStorage storage = bruker_storage(procs, procs_name);
    const std::size_t si = point_count(procs, "SI", procs_name);
    ImportedSeries series;
    series.slices.push_back(bruker_1d_spectrum(
        procs, read_points(procno / "1r", storage, si, std::to_string(si)), procs_name, data_name));
    series.notes.push_back("Bruker 1D " + data_name + ": " +
                           axis_note(series.slices[0].ppm, procs) + ", " + storage_note(storage));
    return series;
}
