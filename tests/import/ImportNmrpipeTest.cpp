// pairfit-import on NMRPipe files: the bundled Bruker inversion recovery written in the NMRPipe
// layout (tests/import/NmrpipeWriter.h) as a pseudo-2D in both byte orders, with a complex
// direct dimension, and as 1D files given one by one or as a template, imported and held
// against the Bruker import; each refusal as a program run that leaves the folder as it was.
#include "../TestFiles.h"
#include "NmrpipeWriter.h"
#include "Read.h"
#include "ReadImportParts.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

using testfiles::read_file;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;
namespace writer = nmrpipe_writer;

namespace {

const fs::path procno = fs::path(DATA_DIR) / "bruker/inversion_recovery/1/pdata/1";
const fs::path vdlist = procno.parent_path().parent_path() / "vdlist";

using Outcome = testfiles::RunResult;

Outcome import(const fs::path& folder, const std::string& arguments) {
    return testfiles::run_command(folder, std::string("'") + PAIRFIT_IMPORT + "' " + arguments);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The numbers of z.txt, without its comment.
std::vector<double> z_values(const fs::path& file) {
    std::vector<double> values;
    for (const Row& row : fileIn(file.string().c_str())) {
        values.push_back(row.at(0));
    }
    return values;
}

// The Bruker series as the importer writes it, and its axis in NMRPipe's terms.
struct BrukerSeries {
    TableSeries whole;
    TableSeries windowed;
    std::vector<double> z;
    writer::Axis axis;
    std::vector<std::vector<double>> rows;
};

const BrukerSeries& bruker() {
    static const BrukerSeries series = [] {
        BrukerSeries made;
        TempDir dir;
        EXPECT_EQ(import(dir.path(), "'" + procno.string() + "'").status, 0);
        made.whole = fileIn3(dir.file("2d.txt").c_str());
        made.z = z_values(dir.file("z.txt"));
        EXPECT_EQ(import(dir.path(), "--window 0.76 0.69 '" + procno.string() + "'").status, 0);
        made.windowed = fileIn3(dir.file("2d.txt").c_str());
        const BrukerParameters procs =
            parse_bruker_parameters(read_file((procno / "procs").string()));
        made.axis = writer::axis_from_first_point(
            bruker_number(procs, "OFFSET", "procs"), bruker_number(procs, "SW_p", "procs"),
            bruker_number(procs, "SF", "procs"), made.whole.front().size());
        for (const Table& slice : made.whole) {
            std::vector<double>& row = made.rows.emplace_back();
            for (const Row& point : slice) {
                row.push_back(point[1]);
            }
        }
        return made;
    }();
    return series;
}

// How far a ppm of the NMRPipe axis may lie from Bruker's: the rounding of FDF2SW, FDF2ORIG
// and FDF2OBS to float32, each by half a unit in the last place, carried into ppm.
double ppm_tolerance(const writer::Axis& axis, double ppm) {
    const double half_ulp = std::ldexp(1.0, -24);
    return half_ulp * (std::fabs(axis.origin) + 2 * axis.sweep_width) / axis.observe +
           2 * half_ulp * std::fabs(ppm);
}

// `imported` holds Bruker's slices as float32 keeps them, on Bruker's axis within the
// rounding of the header.
void expect_bruker_series(const TableSeries& imported, const TableSeries& expected,
                          const std::string& form) {
    const writer::Axis& axis = bruker().axis;
    ASSERT_EQ(imported.size(), expected.size()) << form;
    for (std::size_t s = 0; s < expected.size(); ++s) {
        ASSERT_EQ(imported[s].size(), expected[s].size()) << form << " slice " << s;
        for (std::size_t i = 0; i < expected[s].size(); ++i) {
            const double ppm = expected[s][i][0];
            ASSERT_NEAR(imported[s][i][0], ppm, ppm_tolerance(axis, ppm))
                << form << " slice " << s << " point " << i;
            ASSERT_EQ(imported[s][i][1], double(float(expected[s][i][1])))
                << form << " slice " << s << " point " << i;
        }
    }
}

writer::Layout layout(bool big_endian, int dimensions, bool complex) {
    writer::Layout made;
    made.big_endian = big_endian;
    made.dimensions = dimensions;
    made.complex = complex;
    made.axis = bruker().axis;
    return made;
}

// The Bruker rows as one pseudo-2D file, or as 1D files; returns the inputs that name them.
std::string write_series(const fs::path& dir, const writer::Layout& layout, bool as_template) {
    if (layout.dimensions == 2) {
        write_file((dir / "series.ft2").string(), writer::file_bytes(bruker().rows, layout));
        return "series.ft2";
    }
    fs::create_directory(dir / "ft");
    std::string inputs;
    for (std::size_t r = 0; r < bruker().rows.size(); ++r) {
        char name[32];
        std::snprintf(name, sizeof name, "ft/test%03zu.ft1", r + 1);
        write_file((dir / name).string(), writer::file_bytes({bruker().rows[r]}, layout));
        inputs += std::string(" ") + name;
    }
    return as_template ? "'ft/test%03d.ft1'" : inputs;
}

} // namespace

TEST(ImportNmrpipe, TheBrukerSeriesInEveryNmrpipeFormImportsAsTheBrukerImport) {
    writer::Layout true_2d = layout(false, 2, false);
    true_2d.indirect_spectrum = true;
    writer::Layout flags_differ = layout(false, 2, false);
    flags_differ.words[106] = 0.0f; // FDQUADFLAG complex, FDF2QUADFLAG real
    const std::vector<std::tuple<std::string, writer::Layout, bool, std::string>> forms = {
        // name, layout, named by a template, what standard output and error say
        {"pseudo-2D, little endian", layout(false, 2, false), false, "float32, little endian"},
        {"pseudo-2D, big endian", layout(true, 2, false), false, "float32, big endian"},
        {"pseudo-2D, complex", layout(true, 2, true), false, "the real half of each row is read"},
        {"true 2D", true_2d, false, "warning: series.ft2: F1 is a spectrum too (FDF1FTFLAG 1)"},
        {"FDQUADFLAG differs", flags_differ, false, "they are read as FDF2QUADFLAG says"},
        {"1D files", layout(false, 1, false), false, "NMRPipe 1D ft/test010.ft1"},
        {"1D template, complex", layout(true, 1, true), true, "template ft/test%03d.ft1: 10 files"},
    };
    for (const auto& [name, form, as_template, said] : forms) {
        TempDir dir;
        const std::string inputs = write_series(dir.path(), form, as_template);
        Outcome result = import(dir.path(), "--x-list '" + vdlist.string() + "' " + inputs);
        ASSERT_EQ(result.status, 0) << name << ": " << result.err;
        EXPECT_TRUE(contains(result.out + result.err, said)) << name << ": " << result.out;
        EXPECT_EQ(result.err.empty(), !form.indirect_spectrum) << name << ": " << result.err;
        expect_bruker_series(fileIn3(dir.file("2d.txt").c_str()), bruker().whole, name);
        EXPECT_EQ(z_values(dir.file("z.txt")), bruker().z) << name;
        EXPECT_TRUE(contains(read_file(dir.file("z.txt")), "(unit s)")) << name;

        // Windowed, and without x values: no z.txt, and the earlier import's goes.
        result = import(dir.path(), "--window 0.76 0.69 " + inputs);
        ASSERT_EQ(result.status, 0) << name << ": " << result.err;
        EXPECT_TRUE(contains(result.out, "--x-list FILE")) << name << ": " << result.out;
        expect_bruker_series(fileIn3(dir.file("2d.txt").c_str()), bruker().windowed, name);
        EXPECT_FALSE(fs::exists(dir.file("z.txt"))) << name;
    }
}

TEST(ImportNmrpipe, XListFilesGiveEverySliceItsValue) {
    // A list of another name is read with the units of any list; a shorter one is used from its
    // start again, a longer one in part, as a Bruker experiment's own list is.
    TempDir dir;
    write_series(dir.path(), layout(false, 2, false), false);
    write_file(dir.file("delays.txt"), "1m\n2m\n3m\n4m\n");
    Outcome result = import(dir.path(), "--x-list delays.txt series.ft2");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(z_values(dir.file("z.txt")), (std::vector<double>{1, 2, 3, 4, 1, 2, 3, 4, 1, 2}));
    EXPECT_TRUE(contains(result.err, "delays.txt: holds 4 values for 10 slices; slices 4 to 9 "
                                     "re-use its values"))
        << result.err;
    EXPECT_TRUE(contains(read_file(dir.file("z.txt")), "(unit m)"));
    write_file(dir.file("temperatures"), "280K\n290K\n300K\n310K\n320K\n330K\n340K\n350K\n360K\n"
                                         "370K\n380K\n");
    result = import(dir.path(), "--x-list temperatures series.ft2");
    EXPECT_EQ(z_values(dir.file("z.txt")).back(), 370) << result.err;
    EXPECT_TRUE(contains(result.out, "the first 10 used")) << result.out;

    // A file named as one of Bruker's lists is the file, read as that kind; it also stands in
    // for a Bruker pseudo-2D's own list.
    write_file(dir.file("vclist"), "8\n16\n24\n32\n40\n48\n56\n64\n72\n80\n");
    result = import(dir.path(), "--x-list vclist '" + procno.string() + "'");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(z_values(dir.file("z.txt")).front(), 8);
    EXPECT_TRUE(contains(result.out, "vdlist also present, not used")) << result.out;
    write_file(dir.file("vclist"), "8\n16.5\n");
    result = import(dir.path(), "--x-list vclist series.ft2");
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "./vclist:2: expected a whole count")) << result.err;

    // Refused before anything is written: a missing list, both options, an entry of no number.
    write_file(dir.file("delays.txt"), "1s\n1,5s\n");
    const std::string before = read_file(dir.file("2d.txt"));
    for (const auto& [arguments, status, message] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"--x-list missing.txt series.ft2", 1, "missing.txt: no such file"},
             {"--list vdlist --x-list delays.txt series.ft2", 1, "one of --list and --x-list"},
             {"--x-list delays.txt series.ft2", 2, "delays.txt:2: expected a number"},
         }) {
        result = import(dir.path(), arguments);
        EXPECT_EQ(result.status, status) << arguments << ": " << result.err;
        EXPECT_TRUE(contains(result.err, message)) << arguments << ": " << result.err;
        EXPECT_EQ(read_file(dir.file("2d.txt")), before) << arguments;
    }
}

TEST(ImportNmrpipe, RefusalsNameTheFileAndTheHeaderWordAndWriteNothing) {
    const std::vector<std::vector<double>> rows = {{1, 5, 2, 1}, {1, 4, 3, 1}, {1, 3, 4, 1}};
    const writer::Axis axis = writer::axis_from_first_point(10, 6000, 600, 4);
    const auto file = [&](const std::map<std::size_t, float>& words, bool big_endian = false,
                          std::size_t row_count = 3) {
        writer::Layout made;
        made.axis = axis;
        made.big_endian = big_endian;
        made.words = words;
        return writer::file_bytes({rows.begin(), rows.begin() + std::ptrdiff_t(row_count)}, made);
    };
    std::string truncated = file({});
    truncated.pop_back();
    std::string not_finite = file({});
    writer::put_float(not_finite, 2048 + 4 * 6, std::nanf(""), false);

    struct Case {
        std::string name;
        std::string bytes;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no byte-order mark", file({{2, 1.0f}}),
         "not an NMRPipe file: FDFLTORDER (header word 2) reads 1 as little endian"},
        {"text", "1.0 2.0\n3.0 4.0\n", "nor a JCAMP-DX file"},
        {"cut header", file({}).substr(0, 100), "holds 100 bytes, less than the 2048"},
        {"time domain", file({{220, 0.0f}}, true), "FDF2FTFLAG (header word 220) is 0"},
        {"3D", file({{9, 3.0f}}), "FDDIMCOUNT (header word 9) is 3: a 3D spectrum"},
        {"series of files", file({{442, 8.0f}}), "FDFILECOUNT (header word 442) is 8"},
        {"transposed", file({{221, 1.0f}}), "FDTRANSPOSED (header word 221) is 1"},
        {"rows along F1", file({{24, 1.0f}}), "FDDIMORDER1 (header word 24) is 1"},
        {"complex F1", file({{55, 0.0f}, {106, 0.0f}}), "F1 is complex"},
        {"complex rows, cut", file({{56, 0.0f}, {106, 1.0f}}).substr(0, 2096),
         "call for a 2048-byte header and 3 rows of 4 complex float32 points"},
        {"short file", truncated,
         "holds 2095 bytes, the parameters call for a 2048-byte header and 3 rows of 4 float32 "
         "points (2096 bytes)"},
        {"more rows", file({{219, 4.0f}}),
         "holds 2096 bytes, the parameters call for a 2048-byte header and 4 rows of 4"},
        {"fractional size", file({{99, 4.5f}}), "FDSIZE (header word 99)"},
        {"no sweep width", file({{100, 0.0f}}), "FDF2SW (header word 100)"},
        {"huge", file({{99, 65536.0f}, {219, 65536.0f}}), "more than the 1 GiB read"},
        {"not finite", not_finite, "row 2, point 3 is not a finite number"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        write_file(dir.file("2d.txt"), "old\n");
        write_file(dir.file("bad.ft2"), c.bytes);
        const Outcome result = import(dir.path(), "bad.ft2");
        EXPECT_EQ(result.status, 2) << c.name << ": " << result.err;
        EXPECT_TRUE(contains(result.err, "pairfit-import: bad.ft2: ") &&
                    contains(result.err, c.message))
            << c.name << ": " << result.err;
        EXPECT_EQ(read_file(dir.file("2d.txt")), "old\n") << c.name;
        EXPECT_EQ(testfiles::files_in(dir.path()), (std::set<std::string>{"2d.txt", "bad.ft2"}));
    }

    // Series of 1D files: axes that differ, a folder or a device among the numbered files, a
    // template whose first file is missing.
    TempDir dir;
    write_file(dir.file("a1.ft1"), file({{9, 1.0f}}, false, 1));
    write_file(dir.file("a2.ft1"), file({{9, 1.0f}, {101, float(axis.origin + 5)}}, false, 1));
    write_file(dir.file("a3.ft1"), file({{9, 1.0f}}, true, 1));
    fs::create_directory(dir.path() / "b1.ft1");
    fs::create_symlink("/dev/zero", dir.path() / "c2.ft1");
    write_file(dir.file("c1.ft1"), read_file(dir.file("a1.ft1")));
    ASSERT_EQ(::mkfifo(dir.file("fifo.ft1").c_str(), 0644), 0);
    for (const auto& [inputs, status, message] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"a1.ft1 a2.ft1", 2, "a2.ft1: its ppm axis (4 points from "},
             {"'a%d.ft1'", 2, "a2.ft1: its ppm axis"},
             {"a1.ft1 a3.ft1", 0, ""},
             {"a1.ft1 b1.ft1", 1, "b1.ft1: holds no 2rr or 1r"},
             {"'b%d.ft1'", 2, "b1.ft1: is a folder, where a file is needed"},
             {"'c%d.ft1'", 2, "c2.ft1: is not a regular file"},
             {"fifo.ft1", 2, "fifo.ft1: is not a regular file"},
             {"'d%02d.ft1'", 1,
              "d%02d.ft1: no such file, and as a template its first file "
              "\"d01.ft1\" does not exist either"},
         }) {
        write_file(dir.file("2d.txt"), "old\n");
        const Outcome result = import(dir.path(), inputs);
        EXPECT_EQ(result.status, status) << inputs << ": " << result.err;
        EXPECT_TRUE(contains(result.err, message)) << inputs << ": " << result.err;
        if (status != 0) {
            EXPECT_EQ(read_file(dir.file("2d.txt")), "old\n") << inputs;
        } else {
            EXPECT_EQ(fileIn3(dir.file("2d.txt").c_str()).size(), 2u) << inputs;
        }
    }
}
