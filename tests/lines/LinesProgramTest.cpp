// pairfit-lines as a process: its files add up (data = lines + baseline + residual), its
// refusals touch nothing, a kept file is refused with status 4, and on the bundled
// inversion recovery four lines fit every slice better than pairfit4 --signed's two.
#include "../TestFiles.h"

#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace testfiles;

// A CSV text as rows of cells (quoted cells may hold commas), the header first.
std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string cell;
    bool quoted = false;
    for (const char c : text) {
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(cell);
            cell.clear();
        } else if (c == '\n') {
            row.push_back(cell);
            rows.push_back(row);
            row.clear();
            cell.clear();
        } else {
            cell += c;
        }
    }
    return rows;
}

// The column `name` of a CSV text, one cell per row.
std::vector<std::string> column(const std::string& text, const std::string& name) {
    const auto rows = parse_csv(text);
    std::vector<std::string> cells;
    std::size_t at = 0;
    while (at < rows[0].size() && rows[0][at] != name) {
        ++at;
    }
    EXPECT_LT(at, rows[0].size()) << name;
    for (std::size_t r = 1; r < rows.size() && at < rows[0].size(); ++r) {
        cells.push_back(rows[r].at(at));
    }
    return cells;
}

// A curve file as rows of numbers, its comment line left out.
std::vector<std::vector<double>> read_matrix(const std::string& path) {
    std::vector<std::vector<double>> rows;
    std::istringstream text(read_file(path));
    std::string line;
    while (std::getline(text, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::vector<double> row;
        double value = 0.0;
        while (fields >> value) {
            row.push_back(value);
        }
        rows.push_back(row);
    }
    return rows;
}

void copy_titration(const TempDir& folder) {
    const std::string example = std::string(EXAMPLES_DIR) + "/titration/";
    write_file(folder.file("2d.txt"), read_file(example + "2d.txt"));
    write_file(folder.file("peaks.txt"), read_file(example + "peaks.txt"));
}

const std::string lines_program = std::string("'") + PAIRFIT_LINES + "'";

TEST(LinesProgram, CurvesAddUpToTheDataAndTheTablesHoldEveryLineAndSlice) {
    TempDir folder;
    copy_titration(folder);
    write_file(folder.file("lines.txt"), "# name ppm half-width shape\nA 1.2 0.08\n"
                                         "B 0.9 - gaussian\nC 1.5 pseudo-voigt # a small one\n");
    std::string z;
    for (int s = 0; s < 40; ++s) {
        z += std::to_string(0.25 * s) + "\n";
    }
    write_file(folder.file("z.txt"), z);
    const RunResult run = run_command(
        folder.path(), lines_program + " --baseline linear --float 0.02 --z z.txt --noise 2.4 2.1");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string lines_csv = read_file(folder.file("lines.csv"));
    const std::string slices_csv = read_file(folder.file("slices.csv"));
    for (const std::string* text : {&lines_csv, &slices_csv}) {
        EXPECT_EQ(text->find("nan"), std::string::npos);
        EXPECT_EQ(text->find("inf"), std::string::npos);
    }
    EXPECT_EQ(column(lines_csv, "line").size(), 120u);
    EXPECT_EQ(column(lines_csv, "shape")[2], "pseudo-voigt");
    EXPECT_EQ(column(lines_csv, "eta")[0], ""); // a pure shape has none
    EXPECT_NE(column(lines_csv, "eta")[2], "");
    EXPECT_EQ(column(lines_csv, "z")[5], "0.25");
    const auto chi2 = column(slices_csv, "chi2_red");
    ASSERT_EQ(chi2.size(), 40u);
    EXPECT_NE(chi2[0], "");
    EXPECT_NE(column(slices_csv, "baseline_1_se")[0], "");

    const auto data = read_matrix(folder.file("lines_dat.txt"));
    const auto residual = read_matrix(folder.file("lines_res.txt"));
    const auto baseline = read_matrix(folder.file("lines_baseline.txt"));
    std::vector<std::vector<std::vector<double>>> lines;
    for (int k = 1; k <= 3; ++k) {
        lines.push_back(read_matrix(folder.file("lines_sim_" + std::to_string(k) + ".txt")));
    }
    ASSERT_EQ(data.size(), 153u);
    double largest = 0.0;
    for (const auto& row : data) {
        ASSERT_EQ(row.size(), 41u);
        for (std::size_t s = 1; s < row.size(); ++s) {
            largest = std::max(largest, std::fabs(row[s]));
        }
    }
    const auto heights = column(lines_csv, "height");
    for (std::size_t p = 0; p < data.size(); ++p) {
        for (std::size_t s = 1; s <= 40; ++s) {
            double model = baseline[p][s];
            for (const auto& line : lines) {
                model += line[p][s];
            }
            EXPECT_NEAR(data[p][s] - model, residual[p][s], 1e-12 * largest);
        }
    }
    // A line is never taller than its height.
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t p = 0; p < data.size(); ++p) {
            EXPECT_LE(std::fabs(lines[k][p][1]), std::fabs(std::stod(heights[k])) * (1 + 1e-15));
        }
    }

    // With two lines and no baseline the curve files of C and the baseline no longer belong.
    write_file(folder.file("lines.txt"), "A 1.2\nB 0.9\n");
    ASSERT_EQ(run_command(folder.path(), lines_program).status, 0);
    EXPECT_FALSE(fs::exists(folder.file("lines_sim_3.txt")));
    EXPECT_FALSE(fs::exists(folder.file("lines_baseline.txt")));
    EXPECT_TRUE(fs::exists(folder.file("lines_sim_2.txt")));
}

struct Refusal {
    const char* lines_txt; // nullptr: none
    const char* arguments;
    int status;
    const char* message; // a part of standard error
};

TEST(LinesProgram, RefusalsNameTheFileAndLineAndWriteNothing) {
    const Refusal refusals[] = {
        {"# nothing\n\n", "", 2, "lines.txt: holds no line to fit"},
        {"A 1.2\nB 0.9\nA 1.0\n", "", 2,
         "lines.txt: line 3: the name \"A\" is given already on line 1"},
        {"A 1.2\nB 2.5\n", "", 2,
         "lines.txt: line 2: line B at 2.5 ppm lies outside the window 0.2 to 2"},
        {"A 1.2 0.1 voigt\n", "", 2, "lines.txt: line 1: unknown shape \"voigt\""},
        {"A 1.2 0\n", "", 2, "lines.txt: line 1: the half-width of \"A\" must be above 0"},
        {"A 1.2 -0.1\n", "", 2, "lines.txt: line 1: the half-width"},
        {"A one\n", "", 2, "lines.txt: line 1: expected the position"},
        {"A 1.2 0.1 gaussian 7\n", "", 2, "lines.txt: line 1: unexpected field \"7\""},
        {"A,B 1.2\n", "", 2, "lines.txt: line 1: the name"},
        {"A 1.2\nB 0.9\n", "--float -0.1", 2, "--float -0.1: the distance"},
        {"A 1.2 0.08\nB 0.9\n", "--widths fixed", 2, "lines.txt: line 2: line B has no half-width"},
        {nullptr, "--widths fixed", 2, "peaks.txt: data row 1: line A has no half-width"},
        {"A 1.2\nB 0.9\n", "--window 1.25 1.15", 2, "line B at 0.9 ppm lies outside the window"},
        {"A 1.2\nB 1.21\nC 1.22\n", "--window 1.23 1.19 --float 0.001 --shape pseudo-voigt", 2,
         "2d.txt: slice 0 holds 4 points inside the window, fewer than the 12 free parameters"},
        {"A 1.2\n", "--shape cauchy", 1, "--shape takes lorentzian, gaussian or pseudo-voigt"},
        {"A 1.2\n", "--positive=yes", 1, "--positive takes no value"},
        {"A 1.2\n", "--window 1", 1, "--window needs the two ppm limits"},
        {"A 1.2\n", "one two", 1, "unexpected argument \"two\""},
        {"A 1.2\n", "--z missing.txt", 1, "missing.txt"},
    };
    for (const Refusal& refusal : refusals) {
        TempDir folder;
        copy_titration(folder);
        if (refusal.lines_txt != nullptr) {
            write_file(folder.file("lines.txt"), refusal.lines_txt);
        } else { // peaks.txt without its row of half-widths
            write_file(folder.file("peaks.txt"), "1.2 0.9\n2.0 0.2\n");
        }
        const auto before = files_in(folder.path());
        const RunResult run = run_command(folder.path(), lines_program + " " + refusal.arguments);
        EXPECT_EQ(run.status, refusal.status) << refusal.message << "\n" << run.err;
        EXPECT_NE(run.err.find(refusal.message), std::string::npos)
            << "expected: " << refusal.message << "\nfound: " << run.err;
        EXPECT_EQ(files_in(folder.path()), before) << refusal.message;
    }

    TempDir empty;
    const RunResult missing = run_command(empty.path(), lines_program);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("2d.txt: not found"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("usage: pairfit-lines"), std::string::npos);
    EXPECT_TRUE(files_in(empty.path()).empty());
    const RunResult help = run_command(empty.path(), lines_program + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("lines.csv: slice,z,line,shape,position"), std::string::npos);
}

TEST(LinesProgram, AWriteProtectedResultIsKeptWithStatus4AndTheOthersWritten) {
    TempDir folder;
    copy_titration(folder);
    write_file(folder.file("lines.csv"), "mine\n");
    fs::permissions(folder.file("lines.csv"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    // The folder named as the argument, from elsewhere.
    TempDir elsewhere;
    const RunResult run =
        run_command(elsewhere.path(), lines_program + " '" + folder.path().string() + "'");
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_NE(run.err.find("lines.csv: could not be written"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(folder.file("lines.csv")), "mine\n");
    EXPECT_EQ(column(read_file(folder.file("slices.csv")), "slice").size(), 40u);
    EXPECT_TRUE(fs::exists(folder.file("lines_res.txt")));
    EXPECT_TRUE(files_in(elsewhere.path()).empty());
}

TEST(LinesProgram, FourLinesFitTheInversionRecoveryBetterThanTwoSignedOnes) {
    TempDir folder;
    const std::string import = std::string("'") + PAIRFIT_IMPORT + "' --window 0.76 0.69 '" +
                               DATA_DIR + "/bruker/inversion_recovery/1/pdata/1'";
    ASSERT_EQ(run_command(folder.path(), import).status, 0);
    write_file(folder.file("peaks.txt"), "0.7293 0.7176\n0.76 0.69\n");
    ASSERT_EQ(
        run_command(folder.path(), std::string("'") + PAIRFIT4 + "' --signed --report").status, 0);
    write_file(folder.file("lines.txt"), "L1 0.7293\nL2 0.7176\nL3 0.7462\nL4 0.7521\n");
    const RunResult run = run_command(folder.path(), lines_program + " --z z.txt");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string report = read_file(folder.file("report.csv"));
    const auto two_rss = column(report, "rss");
    const auto scale = column(report, "scale_factor");
    const auto four_rss = column(read_file(folder.file("slices.csv")), "rss");
    ASSERT_EQ(four_rss.size(), 10u);
    ASSERT_EQ(two_rss.size(), 10u);
    for (std::size_t s = 0; s < 10; ++s) {
        const double two = std::stod(two_rss[s]) * std::stod(scale[s]) * std::stod(scale[s]);
        EXPECT_LT(std::stod(four_rss[s]), two) << "slice " << s;
    }
    // The delays of z.txt in the z column, one per line and slice.
    EXPECT_EQ(column(read_file(folder.file("lines.csv")), "z")[0], "10");
}

} // namespace
