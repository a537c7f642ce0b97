// pairfit-import on input that is not what it should be (folders, devices, endless or huge
// files, loose x lists, a DIF after the abscissa), on other binary layouts of the real data,
// on outputs that cannot be written, and what it tells about the lines and the pulse program.
#include "../TestFiles.h"
#include "Read.h"
#include "ReadImportParts.h"
#include "ReadNumbers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

using testfiles::read_file;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

const fs::path data_dir = DATA_DIR;
const fs::path inversion_recovery = data_dir / "bruker/inversion_recovery/1";
const fs::path aspirin = data_dir / "jcamp/aspirin-1h.dx";

using Outcome = testfiles::RunResult;
const auto run = testfiles::run_command;

Outcome import(const fs::path& folder, const fs::path& input, const std::string& options = "") {
    return run(folder,
               std::string("'") + PAIRFIT_IMPORT + "' " + options + " '" + input.string() + "'");
}

// A copy of the inversion-recovery experiment in `dir`; returns its processing folder.
fs::path copy_experiment(const TempDir& dir) {
    const fs::path expno = dir.path() / "exp/1";
    fs::create_directories(expno);
    fs::copy(inversion_recovery, expno, fs::copy_options::recursive);
    return expno / "pdata/1";
}

// `text` with the value of ##$NAME= replaced.
std::string with_parameter(const std::string& text, const std::string& name,
                           const std::string& value) {
    const std::string key = "##$" + name + "= ";
    const auto at = text.find(key);
    EXPECT_NE(at, std::string::npos) << name;
    const auto end = text.find('\n', at);
    return text.substr(0, at + key.size()) + value + text.substr(end);
}

void set_parameter(const fs::path& file, const std::string& name, const std::string& value) {
    write_file(file.string(), with_parameter(read_file(file.string()), name, value));
}

// The lines of 2d.txt that are not comments.
std::string data_lines(const std::string& text) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '#') {
            kept += line + "\n";
        }
    }
    return kept;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(ImportInput, OtherBinaryLayoutsOfTheRealSeries) {
    TempDir reference;
    ASSERT_EQ(import(reference.path(), inversion_recovery / "pdata/1").status, 0);
    const TableSeries whole = fileIn3(reference.file("2d.txt").c_str());

    // The same points stored big-endian give the same 2d.txt.
    TempDir dir;
    const fs::path procno = copy_experiment(dir);
    std::string bytes = read_file((procno / "2rr").string());
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        std::reverse(bytes.begin() + std::ptrdiff_t(i), bytes.begin() + std::ptrdiff_t(i + 4));
    }
    write_file((procno / "2rr").string(), bytes);
    set_parameter(procno / "procs", "BYTORDP", "1");
    set_parameter(procno / "proc2s", "BYTORDP", "1");
    Outcome result = import(dir.path(), procno);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "big endian")) << result.out;
    EXPECT_EQ(data_lines(read_file(dir.file("2d.txt"))),
              data_lines(read_file(reference.file("2d.txt"))));

    // Every stored row acquired: the last slice is the last stored row, not empty. The 10
    // delays of the vdlist cover rows 1 to 10; rows 11 to 16 re-use them, with a warning.
    const auto stored_rows = static_cast<std::size_t>(
        std::stoi(read_file((procno / "proc2s").string())
                      .substr(read_file((procno / "proc2s").string()).find("##$SI= ") + 7)));
    set_parameter(procno.parent_path().parent_path() / "acqu2s", "TD", std::to_string(stored_rows));
    result = import(dir.path(), procno);
    ASSERT_EQ(result.status, 0) << result.err;
    const TableSeries all = fileIn3(dir.file("2d.txt").c_str());
    ASSERT_EQ(all.size(), stored_rows);
    const std::size_t si = whole.front().size();
    const std::string big_endian = read_file((procno / "2rr").string());
    const std::size_t last = stored_rows - 1;
    ASSERT_EQ(all[last].size(), si);
    for (std::size_t c = 0; c < si; ++c) {
        const std::size_t at = 4 * (last * si + c);
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < 4; ++b) {
            word = word << 8 | static_cast<unsigned char>(big_endian[at + b]);
        }
        ASSERT_EQ(all[last][c][1], std::ldexp(double(std::int32_t(word)), -4)) << c;
        ASSERT_EQ(all[last][c][0], whole[0][c][0]);
    }
    EXPECT_TRUE(contains(result.err, "warning")) << result.err;
    EXPECT_TRUE(contains(result.err, "rows 11 to " + std::to_string(stored_rows) + " re-use"))
        << result.err;
    EXPECT_TRUE(contains(result.err, "--list none")) << result.err;
    const std::string z = read_file(dir.file("z.txt"));
    EXPECT_EQ(std::count(z.begin(), z.end(), '\n'), std::ptrdiff_t(stored_rows + 1)) << z;
}

TEST(ImportInput, FilesThatAreNotFilesOrHaveNoEndAreRefused) {
    // Each file a reader needs, replaced by a folder, by /dev/zero and by a FIFO.
    for (const std::string replaced : {"pdata/1/2rr", "pdata/1/procs", "vdlist", "acqus"}) {
        for (const std::string kind : {"folder", "zero", "fifo"}) {
            TempDir dir;
            const fs::path procno = copy_experiment(dir);
            const fs::path file = procno.parent_path().parent_path() / replaced;
            fs::remove(file);
            if (kind == "folder") {
                fs::create_directory(file);
            } else if (kind == "zero") {
                fs::create_symlink("/dev/zero", file);
            } else {
                ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
            }
            const Outcome result = import(dir.path(), procno);
            EXPECT_EQ(result.status, 2) << replaced << " " << kind << ": " << result.err;
            EXPECT_TRUE(contains(result.err, file.string() + ": "))
                << replaced << " " << kind << ": " << result.err;
            EXPECT_TRUE(contains(result.err, kind == "folder" ? "is a folder" : "not a regular"))
                << result.err;
            EXPECT_FALSE(fs::exists(dir.file("2d.txt")));
        }
    }
    TempDir dir;
    fs::create_symlink("/dev/zero", dir.path() / "endless.jdx");
    Outcome result = import(dir.path(), dir.path() / "endless.jdx");
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(contains(result.err, "endless.jdx: is not a regular file")) << result.err;

    // Beyond the bounds: sparse files, so that nothing is stored or read.
    fs::copy(aspirin, dir.path() / "huge.jdx");
    fs::resize_file(dir.path() / "huge.jdx", max_jcamp_bytes + 1);
    result = import(dir.path(), dir.path() / "huge.jdx");
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(contains(result.err, "huge.jdx: holds more than 1 GiB")) << result.err;
    const fs::path procno = copy_experiment(dir);
    fs::resize_file(procno / "2rr", std::uintmax_t(1) << 40);
    result = import(dir.path(), procno);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(contains(result.err, "2rr: holds 1099511627776 bytes, the parameters call for "
                                     "8192 x 16 points of 4 bytes (524288 bytes)"))
        << result.err;
    fs::copy_file(inversion_recovery / "pdata/1/2rr", procno / "2rr",
                  fs::copy_options::overwrite_existing);
    fs::resize_file(procno / "procs", max_parameter_bytes + 1);
    result = import(dir.path(), procno);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(contains(result.err, "procs: holds more than 64 MiB")) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("2d.txt")));

    // A processing folder without search permission, for a user the mode bits hold back.
    fs::copy_file(inversion_recovery / "pdata/1/procs", procno / "procs",
                  fs::copy_options::overwrite_existing);
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(procno, fs::perms::owner_read | fs::perms::owner_write);
    result = run(dir.path(), std::string("setpriv --reuid=65534 --regid=65534 --clear-groups '") +
                                 PAIRFIT_IMPORT + "' -o /dev/shm '" + procno.string() + "'");
    if (result.status != 127 && !contains(result.err, "setpriv")) {
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_TRUE(
            contains(result.err, procno.string() + "/2rr: cannot be read: Permission denied"))
            << result.err;
    }
    fs::permissions(procno, fs::perms::owner_all);
}

TEST(ImportInput, XListEntriesAreNumbersWithTheUnitsTopSpinWrites) {
    // Round trip: any finite values, written as the shortest text with a unit the list takes.
    std::mt19937 random(7);
    const std::vector<std::pair<std::string, std::vector<std::string>>> kinds = {
        {"vdlist", {"", "s", "m", "u"}},
        {"vplist", {"", "s", "m", "u"}},
        {"vtlist", {"", "K"}},
        {"vclist", {""}}};
    for (int trial = 0; trial < 100; ++trial) {
        for (const auto& [name, units] : kinds) {
            const std::string unit = units[random() % units.size()];
            std::vector<double> values;
            std::string text;
            for (int k = 1 + int(random() % 20); k > 0; --k) {
                const double value = name == "vclist" ? double(random() % 100000)
                                                      : std::ldexp(double(random() % 2000000) - 1e6,
                                                                   int(random() % 80) - 60);
                values.push_back(value);
                text += (random() % 3 == 0 ? "  " : "") + shortest_text(value) +
                        (random() % 4 == 0 ? " " : "") + unit + (random() % 2 ? "\r\n" : "\n");
                if (random() % 5 == 0) {
                    text += "\n";
                }
            }
            const XList list = parse_x_list(text, name, name);
            EXPECT_EQ(list.values, values) << text;
            EXPECT_EQ(list.unit, unit) << text;
        }
    }

    // Refusals name the file and line, quote the entry (NUL as \x00) and hint where they can.
    const auto refusal = [](const std::string& text, const std::string& name) {
        try {
            parse_x_list(text, name, "exp/" + name);
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.kind, FailureKind::malformed_input);
            return std::string(failure.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal("1s\n1,5s\n", "vdlist"),
              "exp/vdlist:2: expected a number, with or without a unit s, m or u, found "
              "\"1,5s\"; use a decimal point, not a comma");
    EXPECT_TRUE(contains(refusal("0x10\n", "vdlist"), "vdlist:1:")) << refusal("0x10\n", "vdlist");
    EXPECT_TRUE(contains(refusal("0x10\n", "vdlist"), "hexadecimal"));
    EXPECT_TRUE(contains(refusal("10ms\n", "vdlist"), "unit \"ms\" is not one a vdlist takes"));
    EXPECT_TRUE(contains(refusal("5s\n", "vclist"), "takes (none)"));
    EXPECT_TRUE(contains(refusal("2.5\n", "vclist"), "expected a whole count"));
    EXPECT_TRUE(contains(refusal("300\n300C\n", "vtlist"), "vtlist:2: unit \"C\""));
    EXPECT_TRUE(contains(refusal("1s\n2m\n", "vdlist"), "vdlist:2: unit \"m\" differs from \"s\""));
    EXPECT_TRUE(contains(refusal(std::string("1\0", 2) + "\n", "vdlist"), "\"1\\x00\""))
        << refusal(std::string("1\0", 2), "vdlist");
    for (const char* entry : {"inf", "nan", "1e999", "1e", "+", "s", ".", "1 2", "10s,", "10,s"}) {
        EXPECT_TRUE(contains(refusal(std::string(entry) + "\n", "vdlist"), "vdlist:1:")) << entry;
    }

    // Through the program: status 2, the file and line on standard error, nothing written.
    TempDir dir;
    const fs::path procno = copy_experiment(dir);
    const fs::path vdlist = procno.parent_path().parent_path() / "vdlist";
    write_file(vdlist.string(), "10s\n0,5s\n");
    const Outcome result = import(dir.path(), procno);
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, vdlist.string() + ":2:")) << result.err;
    EXPECT_TRUE(contains(result.err, "decimal point")) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("2d.txt")));
}

TEST(ImportInput, DifferenceOrRepeatStraightAfterTheAbscissaIsRefused) {
    for (const char* line : {"10J5", "10U", "10 j", "10%", "10s"}) {
        try {
            decode_jcamp_line(line, "a.dx:9");
            ADD_FAILURE() << line << " accepted";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.kind, FailureKind::malformed_input);
            EXPECT_TRUE(contains(failure.what(), "a.dx:9: ")) << failure.what();
            EXPECT_TRUE(contains(failure.what(), "after the abscissa")) << failure.what();
        }
    }
    // The same file with a y value before the DIF is read.
    const std::string head = "##TITLE= t\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR SPECTRUM\n"
                             "##XUNITS= PPM\n##FIRSTX= 10\n##LASTX= 7\n##NPOINTS= 4\n"
                             "##XYDATA= (X++(Y..Y))\n";
    TempDir dir;
    write_file(dir.file("good.dx"), head + "10@NU\n##END=\n");
    write_file(dir.file("bad.dx"), head + "10NU\n##END=\n");
    Outcome result = import(dir.path(), dir.path() / "good.dx");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(data_lines(read_file(dir.file("2d.txt"))), "10 0\n9 5\n8 10\n7 15\n&\n");
    result = import(dir.path(), dir.path() / "bad.dx");
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "bad.dx:9: a difference (DIF) straight after the abscissa"))
        << result.err;
}

TEST(ImportInput, AFailedWriteKeepsTheOldPairByteForByte) {
    TempDir dir;
    const fs::path procno = inversion_recovery / "pdata/1";
    const fs::path out = dir.path() / "out";
    fs::create_directory(out);
    // An old pair that is not what this run writes.
    ASSERT_EQ(import(out, procno, "--window 0.76 0.69").status, 0);
    const std::string old_series = read_file((out / "2d.txt").string());
    const std::string old_z = read_file((out / "z.txt").string());
    const auto unchanged = [&](const Outcome& result, const std::string& reason) {
        EXPECT_EQ(result.status, 4) << result.err;
        EXPECT_TRUE(contains(result.err, reason)) << result.err;
        EXPECT_TRUE(contains(result.err, "keep their old content")) << result.err;
        EXPECT_EQ(read_file((out / "2d.txt").string()), old_series);
        EXPECT_EQ(read_file((out / "z.txt").string()), old_z);
        EXPECT_EQ(testfiles::files_in(out), (std::set<std::string>{"2d.txt", "z.txt"}));
    };

    // A file-size limit: the write fails instead of the process ending.
    unchanged(run(out, "ulimit -f 200 && '" + std::string(PAIRFIT_IMPORT) + "' '" +
                           procno.string() + "'"),
              "2d.txt: cannot be written: File too large");

    // A full disk, where a small tmpfs can be mounted here.
    const fs::path disk = dir.path() / "disk";
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=400k") == 0) {
        fs::copy(out / "2d.txt", disk / "2d.txt");
        fs::copy(out / "z.txt", disk / "z.txt");
        const Outcome result = import(disk, procno);
        EXPECT_EQ(result.status, 4) << result.err;
        EXPECT_TRUE(contains(result.err, "No space left on device")) << result.err;
        EXPECT_EQ(read_file((disk / "2d.txt").string()), old_series);
        EXPECT_EQ(read_file((disk / "z.txt").string()), old_z);
        EXPECT_EQ(testfiles::files_in(disk), (std::set<std::string>{"2d.txt", "z.txt"}));
        ::umount(disk.c_str());
    }

    // A write-protected z.txt: refused with what to do, for root too.
    fs::permissions(out / "z.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    unchanged(import(out, procno), "z.txt: cannot be written: it is write-protected; make it "
                                   "writable (chmod u+w)");

    // A FIFO in place of z.txt: refused at once (a writer would wait for a reader), named.
    fs::permissions(out / "z.txt", fs::perms::owner_write, fs::perm_options::add);
    fs::remove(out / "z.txt");
    ASSERT_EQ(::mkfifo((out / "z.txt").c_str(), 0644), 0);
    const Outcome fifo =
        run(out, "timeout 20 '" + std::string(PAIRFIT_IMPORT) + "' '" + procno.string() + "'");
    EXPECT_EQ(fifo.status, 4) << fifo.err;
    EXPECT_TRUE(contains(fifo.err, "z.txt: cannot be written: it is a FIFO")) << fifo.err;
    EXPECT_EQ(read_file((out / "2d.txt").string()), old_series);
    EXPECT_TRUE(fs::is_fifo(out / "z.txt"));
    EXPECT_EQ(testfiles::files_in(out), (std::set<std::string>{"2d.txt", "z.txt"}));
}

TEST(ImportInput, TheTallestLinesAndThePulseProgramAreTold) {
    // Against a plain search of the 2d.txt written: the slice of the largest |intensity|,
    // its local maxima in the direction of that intensity, tallest first.
    for (const std::string window : {"", "--window 0.76 0.69", "--window 3.6 3.3"}) {
        TempDir dir;
        const Outcome result = import(dir.path(), inversion_recovery / "pdata/1", window);
        ASSERT_EQ(result.status, 0) << result.err;
        const TableSeries series = fileIn3(dir.file("2d.txt").c_str());
        std::size_t loudest = 0;
        double largest = -1;
        double sign = 1;
        for (std::size_t s = 0; s < series.size(); ++s) {
            for (const Row& row : series[s]) {
                if (std::fabs(row[1]) > largest) {
                    largest = std::fabs(row[1]);
                    loudest = s;
                    sign = row[1] < 0 ? -1 : 1;
                }
            }
        }
        const Table& slice = series[loudest];
        std::vector<std::pair<double, double>> maxima; // height, ppm
        for (std::size_t i = 1; i + 1 < slice.size(); ++i) {
            const double h = sign * slice[i][1];
            if (h > 0 && h > sign * slice[i - 1][1] && h >= sign * slice[i + 1][1]) {
                maxima.emplace_back(h, slice[i][0]);
            }
        }
        std::stable_sort(maxima.begin(), maxima.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        maxima.resize(std::min<std::size_t>(maxima.size(), 5));
        ASSERT_FALSE(maxima.empty());

        const auto at = result.out.find("in slice " + std::to_string(loudest) + " (the largest");
        ASSERT_NE(at, std::string::npos) << result.out;
        std::istringstream lines(result.out.substr(result.out.find('\n', at) + 1));
        for (const auto& [height, ppm] : maxima) {
            double printed_ppm = 0, printed_height = 0;
            std::string unit, word;
            lines >> printed_ppm >> unit >> word >> printed_height;
            EXPECT_EQ(unit + word, "ppm,height") << result.out;
            EXPECT_NEAR(printed_ppm, ppm, 5.1e-5) << result.out;
            EXPECT_NEAR(printed_height, height / maxima.front().first, 5.1e-4) << result.out;
        }
        EXPECT_TRUE(contains(result.out, "t1ir") && contains(result.out, "pairfit4 --signed"))
            << result.out;
    }
    // Another pulse program, or none: no such advice.
    for (const std::string pulprog : {"<zg30>", ""}) {
        TempDir dir;
        const fs::path procno = copy_experiment(dir);
        const fs::path acqus = procno.parent_path().parent_path() / "acqus";
        if (pulprog.empty()) {
            fs::remove(acqus);
        } else {
            set_parameter(acqus, "PULPROG", pulprog);
        }
        const Outcome result = import(dir.path(), procno);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_FALSE(contains(result.out, "--signed")) << result.out;
        EXPECT_EQ(contains(result.out, "pulse program zg30"), !pulprog.empty()) << result.out;
    }
}
