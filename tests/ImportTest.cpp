// pairfit-import on real spectrometer files (tests/data), checked against values read here
// independently of the importer, through pairfit4, and on broken copies.
#include "Read.h"
#include "ReadImportParts.h"
#include "TestFiles.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using testfiles::read_file;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

const fs::path data_dir = DATA_DIR;
const fs::path inversion_recovery = data_dir / "bruker/inversion_recovery/1";
const fs::path coffee_a = data_dir / "bruker/coffee_UV1009/20/pdata/1";
const fs::path coffee_b = data_dir / "bruker/coffee_UV1010/10/pdata/1";
const fs::path pulse_calibration = data_dir / "bruker/coffee_UV1009/99999/pdata/1";
const fs::path aspirin = data_dir / "jcamp/aspirin-1h.dx";
const fs::path rutin = data_dir / "jcamp/Rutin_3080ug200uL_DMSOd6_qHNMR_400MHz_JDX.jdx";

using Outcome = testfiles::RunResult;
const auto run = testfiles::run_command;

std::string import_command(const std::vector<fs::path>& inputs, const std::string& options = "") {
    std::string command = std::string("'") + PAIRFIT_IMPORT + "' " + options;
    for (const fs::path& input : inputs) {
        command += " '" + input.string() + "'";
    }
    return command;
}

// A parameter of a Bruker parameter file, found by plain text search.
double parameter(const fs::path& file, const std::string& name) {
    const std::string text = read_file(file.string());
    const std::string key = "##$" + name + "= ";
    const auto at = text.find(key);
    EXPECT_NE(at, std::string::npos) << name;
    return std::stod(text.substr(at + key.size()));
}

// The point at `index` of a little-endian int32 file, times 2^nc.
double stored_point(const std::string& bytes, std::size_t index, int nc) {
    std::uint32_t word = 0;
    for (int b = 3; b >= 0; --b) {
        word = word << 8 | static_cast<unsigned char>(bytes[4 * index + std::size_t(b)]);
    }
    return std::ldexp(static_cast<double>(static_cast<std::int32_t>(word)), nc);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(Import, PseudoTwoDimensionalBrukerSeriesMatchesTheBinaryAndTheParameters) {
    TempDir dir;
    const Outcome result = run(dir.path(), import_command({inversion_recovery / "pdata/1"}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("10 acquired F1 rows"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("vdlist"), std::string::npos) << result.out;

    const fs::path procs = inversion_recovery / "pdata/1/procs";
    const auto si = static_cast<std::size_t>(parameter(procs, "SI"));
    const double offset = parameter(procs, "OFFSET");
    const double spacing =
        parameter(procs, "SW_p") / parameter(procs, "SF") / static_cast<double>(si);
    const auto rows = static_cast<std::size_t>(parameter(inversion_recovery / "acqu2s", "TD"));
    const int nc = static_cast<int>(parameter(procs, "NC_proc"));
    ASSERT_EQ(parameter(procs, "XDIM"), static_cast<double>(si)); // one tile across: rows are plain
    const std::string bytes = read_file((inversion_recovery / "pdata/1/2rr").string());

    const TableSeries series = fileIn3(dir.file("2d.txt").c_str());
    ASSERT_EQ(series.size(), rows);
    for (std::size_t r = 0; r < rows; ++r) {
        ASSERT_EQ(series[r].size(), si);
        EXPECT_EQ(series[r].front()[0], offset);
        EXPECT_NEAR(series[r].back()[0], offset - static_cast<double>(si - 1) * spacing, 1e-12);
        for (std::size_t i : {std::size_t(0), std::size_t(1234), si / 2, si - 1}) {
            EXPECT_EQ(series[r][i][1], stored_point(bytes, r * si + i, nc)) << r << " " << i;
        }
    }
    // z.txt: the delays of the vdlist, one per slice, in the unit stored.
    std::vector<double> delays;
    for (const std::string& line : lines_of(read_file(dir.file("z.txt")))) {
        if (!line.empty() && line[0] != '#') {
            delays.push_back(std::stod(line));
        }
    }
    std::vector<double> listed;
    for (const std::string& line : lines_of(read_file((inversion_recovery / "vdlist").string()))) {
        if (!line.empty()) {
            listed.push_back(std::stod(line)); // "10s" reads as 10
        }
    }
    EXPECT_EQ(delays, listed);
}

TEST(Import, WindowedSeriesRoundTripsThroughPairfit4) {
    TempDir dir;
    const Outcome imported =
        run(dir.path(), import_command({inversion_recovery / "pdata/1"}, "--window 3.6 3.3"));
    ASSERT_EQ(imported.status, 0) << imported.err;
    TempDir whole;
    ASSERT_EQ(run(whole.path(), import_command({inversion_recovery / "pdata/1"})).status, 0);

    // The windowed file holds exactly the points of the whole one strictly inside the window.
    const TableSeries cut = fileIn3(dir.file("2d.txt").c_str());
    const TableSeries full = fileIn3(whole.file("2d.txt").c_str());
    ASSERT_EQ(cut.size(), full.size());
    for (std::size_t s = 0; s < full.size(); ++s) {
        Table expected;
        for (const Row& row : full[s]) {
            if (row[0] > 3.3 && row[0] < 3.6) {
                expected.push_back(row);
            }
        }
        EXPECT_EQ(cut[s], expected) << "slice " << s;
    }

    write_file(dir.file("peaks.txt"), "3.46 3.40\n3.6 3.3\n");
    const Outcome fit = run(dir.path(), std::string("'") + PAIRFIT4 + "'");
    ASSERT_EQ(fit.status, 0) << fit.err;
    EXPECT_EQ(fileIn(dir.file("results.txt").c_str()).size(), cut.size());
    const Table dat = fileIn(dir.file("dat.txt").c_str());
    ASSERT_EQ(dat.size(), cut[0].size());
    for (std::size_t i = 0; i < dat.size(); ++i) {
        EXPECT_NEAR(dat[i][0], cut[0][i][0], 5e-7); // written with 6 decimals
    }
}

TEST(Import, SeveralOneDimensionalFoldersBecomeOneBlockEach) {
    TempDir dir;
    const Outcome result = run(dir.path(), import_command({coffee_a, coffee_b}, "--window 8 6"));
    ASSERT_EQ(result.status, 0) << result.err;
    const TableSeries series = fileIn3(dir.file("2d.txt").c_str());
    ASSERT_EQ(series.size(), 2u);
    std::size_t slice = 0;
    for (const fs::path& folder : {coffee_a, coffee_b}) {
        const std::string bytes = read_file((folder / "1r").string());
        const double offset = parameter(folder / "procs", "OFFSET");
        const double si = parameter(folder / "procs", "SI");
        const double spacing =
            parameter(folder / "procs", "SW_p") / parameter(folder / "procs", "SF") / si;
        const int nc = static_cast<int>(parameter(folder / "procs", "NC_proc"));
        for (const Row& row : series[slice]) {
            const double index = std::round((offset - row[0]) / spacing);
            EXPECT_NEAR(row[0], offset - index * spacing, 1e-12);
            EXPECT_EQ(row[1], stored_point(bytes, static_cast<std::size_t>(index), nc));
            EXPECT_TRUE(row[0] > 6 && row[0] < 8);
        }
        ++slice;
    }
}

TEST(Import, JcampSpectraOfTopSpinAndMestReNova) {
    // TopSpin's NTUPLES: the real page, Hz from the ppm of the first point ($OFFSET).
    TempDir dir;
    Outcome result = run(dir.path(), import_command({aspirin}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("NTUPLES"), std::string::npos);
    EXPECT_NE(result.out.find("SHIFT REFERENCE"), std::string::npos);
    TableSeries series = fileIn3(dir.file("2d.txt").c_str());
    ASSERT_EQ(series.size(), 1u);
    ASSERT_EQ(series[0].size(), 32768u); // ##VAR_DIM
    EXPECT_EQ(series[0].front()[0], 15.47866);
    // The axis TopSpin shows: ppm scaled by ##$SF (300.13), not by the observe frequency.
    EXPECT_NE(result.out.find("##$SF= 300.13 MHz"), std::string::npos) << result.out;
    EXPECT_NEAR(series[0].back()[0], 15.47866 - 4789.12587366797 / 300.13, 1e-9);
    EXPECT_EQ(series[0].front()[1], -118793); // ##FIRST and ##LAST of R, ##FACTOR 1
    EXPECT_EQ(series[0].back()[1], -78595);

    // MestReNova's LINK file: the NMR SPECTRUM block's XYDATA, scaled by YFACTOR.
    result = run(dir.path(), import_command({rutin}));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("XYDATA"), std::string::npos);
    series = fileIn3(dir.file("2d.txt").c_str());
    ASSERT_EQ(series.size(), 1u);
    ASSERT_EQ(series[0].size(), 52430u);
    const double frequency = 399.78219837824997285;
    EXPECT_NEAR(series[0].front()[0], 7604.450041814470751 / frequency, 1e-12);
    EXPECT_NEAR(series[0].back()[0], -408.37047100600989324 / frequency, 1e-12);
    // MestReNova stores y / YFACTOR cut to a whole number, and the header's values uncut.
    const double unit = 4.9776292514548946375e-08;                       // ##YFACTOR
    EXPECT_NEAR(series[0].front()[1], -0.00036584879853762686253, unit); // ##FIRSTY
    double largest = -1e300;
    double smallest = 1e300;
    for (const Row& row : series[0]) {
        largest = std::max(largest, row[1]);
        smallest = std::min(smallest, row[1]);
    }
    EXPECT_NEAR(largest, 0.12090309709310531616, unit);      // ##MAXY
    EXPECT_NEAR(smallest, -0.00038488773861899971962, unit); // ##MINY
}

TEST(Import, TiledBigEndianFloatMatrixWithAShortList) {
    // 6 rows of 8 points in tiles of 2 rows of 4 points; 5 rows acquired; 2 delays.
    TempDir dir;
    const fs::path procno = dir.path() / "7/pdata/1";
    fs::create_directories(procno);
    const std::size_t si2 = 8, si1 = 6, xdim2 = 4, xdim1 = 2;
    const auto matrix = [](std::size_t r, std::size_t c) {
        return double(r) * 100.0 + double(c) + 0.25;
    };
    std::string bytes;
    for (std::size_t tile_row = 0; tile_row < si1 / xdim1; ++tile_row) {
        for (std::size_t tile_column = 0; tile_column < si2 / xdim2; ++tile_column) {
            for (std::size_t r = 0; r < xdim1; ++r) {
                for (std::size_t c = 0; c < xdim2; ++c) {
                    const double value = matrix(tile_row * xdim1 + r, tile_column * xdim2 + c);
                    std::uint64_t word;
                    std::memcpy(&word, &value, 8);
                    for (int b = 7; b >= 0; --b) {
                        bytes += static_cast<char>((word >> (8 * b)) & 0xff);
                    }
                }
            }
        }
    }
    write_file((procno / "2rr").string(), bytes);
    write_file((procno / "procs").string(),
               "##$BYTORDP= 1\n##$DTYPP= 2\n##$NC_proc= 2\n##$OFFSET= 10\n"
               "##$SW_p= 800\n##$SF= 100\n##$SI= 8\n##$XDIM= 4\n");
    write_file((procno / "proc2s").string(), "##$BYTORDP= 1\n##$DTYPP= 2\n##$SI= 6\n##$XDIM= 2\n"
                                             "##$FT_mod= 0\n");
    write_file((dir.path() / "7/acqu2s").string(), "##$TD= 5\n");
    write_file((dir.path() / "7/vclist").string(), "4\n\n8\n");
    const Outcome result = run(dir.path(), import_command({procno}, "-o out"));
    ASSERT_EQ(result.status, 0) << result.err;
    const TableSeries series = fileIn3(dir.file("out/2d.txt").c_str());
    ASSERT_EQ(series.size(), 5u);
    for (std::size_t r = 0; r < 5; ++r) {
        ASSERT_EQ(series[r].size(), si2);
        for (std::size_t c = 0; c < si2; ++c) {
            EXPECT_EQ(series[r][c][0], 10.0 - double(c));
            EXPECT_EQ(series[r][c][1], 4 * matrix(r, c));
        }
    }
    EXPECT_EQ(read_file(dir.file("out/z.txt")), "# x of each slice, from vclist\n4\n8\n4\n8\n4\n");
    EXPECT_NE(result.err.find("rows 3 to 5 re-use"), std::string::npos) << result.err;
}

TEST(Import, RefusalsNameTheFileAndExitWithTheirStatus) {
    TempDir dir;
    const auto refused = [&](const std::vector<fs::path>& inputs, int status,
                             const std::vector<std::string>& named,
                             const std::string& options = "") {
        const Outcome result = run(dir.path(), import_command(inputs, options));
        EXPECT_EQ(result.status, status) << result.err;
        for (const std::string& text : named) {
            EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
        }
        EXPECT_FALSE(fs::exists(dir.file("2d.txt")));
    };

    // A 2rr cut short by one point.
    const fs::path copy = dir.path() / "copy/1";
    fs::create_directories(copy);
    fs::copy(inversion_recovery, copy, fs::copy_options::recursive);
    fs::resize_file(copy / "pdata/1/2rr", fs::file_size(copy / "pdata/1/2rr") - 4);
    refused({copy / "pdata/1"}, 2, {"2rr", "524284 bytes"});

    // A y-check value spoilt at the start of a data line of the real page.
    std::vector<std::string> lines = lines_of(read_file(aspirin.string()));
    std::size_t spoilt = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("##DATA TABLE= (X++(R..R))", 0) == 0) {
            spoilt = i + 3; // the third data line: its first y value is the check
            break;
        }
    }
    ASSERT_GT(spoilt, 0u);
    const auto start = lines[spoilt].find_first_not_of("0123456789");
    std::string& line = lines[spoilt];
    std::size_t end = start + 1;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) {
        ++end;
    }
    line[end - 1] = line[end - 1] == '9' ? '8' : char(line[end - 1] + 1);
    std::string text;
    for (const std::string& l : lines) {
        text += l + "\n";
    }
    write_file(dir.file("spoilt.dx"), text);
    refused({dir.path() / "spoilt.dx"}, 2,
            {"spoilt.dx:" + std::to_string(spoilt + 1) + ":", "y-check"});

    // A point count that the data do not hold.
    std::string rutin_text = read_file(rutin.string());
    rutin_text.replace(rutin_text.find("##NPOINTS=\t52430"), 16, "##NPOINTS=\t52431");
    write_file(dir.file("short.jdx"), rutin_text);
    refused({dir.path() / "short.jdx"}, 2, {"short.jdx", "52430 points", "52431"});

    // 1D folders of differing axes: both are named.
    refused({coffee_a, pulse_calibration}, 2, {coffee_a.string(), pulse_calibration.string()});

    // An FID, missing input, a bad option, and an output folder that cannot be made.
    write_file(dir.file("fid.dx"), "##TITLE= x\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR FID\n"
                                   "##DATA CLASS= XYDATA\n##XYDATA= (X++(Y..Y))\n1 2\n##END=\n");
    refused({dir.path() / "fid.dx"}, 2, {"fid.dx", "NMR FID"});
    refused({dir.path() / "absent"}, 1, {"absent"});
    refused({}, 1, {"usage"});
    refused({coffee_a}, 1, {"--window"}, "--window 1");
    write_file(dir.file("file"), "");
    refused({coffee_a}, 4, {"2d.txt", "cannot be written"}, "-o file/sub");
}

TEST(Import, CompressedDataLinesDecodeToTheirValues) {
    // Every form a writer may choose, for random sequences, gives the values back.
    std::mt19937 random(14);
    const auto digits_of = [](long value, const char* positive, const char* negative, char zero) {
        const std::string magnitude = std::to_string(std::labs(value));
        const char lead = value == 0  ? zero
                          : value > 0 ? positive[magnitude[0] - '1']
                                      : negative[magnitude[0] - '1'];
        return std::string(1, lead) + magnitude.substr(1);
    };
    const auto squeezed = [&](long v) { return digits_of(v, "ABCDEFGHI", "abcdefghi", '@'); };
    const auto difference = [&](long v) { return digits_of(v, "JKLMNOPQR", "jklmnopqr", '%'); };
    const auto repeat = [](long count) {
        const std::string text = std::to_string(count);
        return std::string(1, text[0] == '9' ? 's' : char('S' + (text[0] - '1'))) + text.substr(1);
    };
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> values{double(random() % 1000)}; // the abscissa
        for (int k = random() % 30; k >= 0; --k) {
            const long step = random() % 4 == 0 ? 0 : long(random() % 2001) - 1000;
            values.push_back(values.back() + double(step) * (random() % 3 == 0 ? 0 : 1));
        }
        std::string affn, sqz, difdup;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const long v = long(values[i]);
            affn += (i ? " " : "") + std::to_string(v);
            sqz += squeezed(v);
        }
        // DIF from the second y on, runs of equal tokens as DUP.
        difdup = squeezed(long(values[0]));
        std::vector<std::string> tokens;
        for (std::size_t i = 1; i < values.size(); ++i) {
            tokens.push_back(i == 1 ? squeezed(long(values[1]))
                                    : difference(long(values[i]) - long(values[i - 1])));
        }
        for (std::size_t i = 0; i < tokens.size();) {
            std::size_t run_length = 1;
            while (i + run_length < tokens.size() && tokens[i + run_length] == tokens[i] && i > 0) {
                ++run_length;
            }
            difdup += tokens[i] + (run_length > 1 ? repeat(long(run_length)) : "");
            i += run_length;
        }
        for (const std::string& line : {affn, sqz, difdup}) {
            const DataLine decoded = decode_jcamp_line(line, "line");
            EXPECT_EQ(decoded.values, values) << line;
        }
        EXPECT_EQ(decode_jcamp_line(difdup, "line").ends_in_dif, values.size() > 2) << difdup;
    }
}

// An import without x values takes away the z.txt an earlier import left, so that 2d.txt and
// z.txt never come from two imports; a z.txt written by hand stays, with a warning.
TEST(Import, AnEarlierImportsZFileGoesWithItsSeries) {
    TempDir dir;
    const std::string jcamp = import_command({aspirin, aspirin});
    ASSERT_EQ(run(dir.path(), import_command({inversion_recovery / "pdata/1"})).status, 0);
    ASSERT_TRUE(fs::exists(dir.file("z.txt")));
    Outcome result = run(dir.path(), jcamp);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("z.txt")));
    EXPECT_NE(result.out.find("removed"), std::string::npos) << result.out;

    write_file(dir.file("z.txt"), "# concentrations (mM)\n0\n1\n");
    result = run(dir.path(), jcamp);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_file(dir.file("z.txt")), "# concentrations (mM)\n0\n1\n");
    EXPECT_NE(result.err.find("z.txt was not written by pairfit-import and is kept"),
              std::string::npos)
        << result.err;
}
