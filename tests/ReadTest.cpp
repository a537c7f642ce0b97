#include "Read.h"

#include "TestFiles.h"

#include <gtest/gtest.h>
#include <iostream>
#include <sstream>

using testfiles::TempDir;
using testfiles::write_file;

namespace {

// Captures std::cerr for the lifetime of the object.
class CerrCapture {
  public:
    CerrCapture() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(old_); }
    std::string text() const { return text_.str(); }

  private:
    std::ostringstream text_;
    std::streambuf* old_;
};

Table readTable(const std::string& text) {
    TempDir dir;
    write_file(dir.file("t.txt"), text);
    return fileIn(dir.file("t.txt").c_str());
}

TableSeries readSeries(const std::string& text) {
    TempDir dir;
    write_file(dir.file("s.txt"), text);
    return fileIn3(dir.file("s.txt").c_str());
}

} // namespace

TEST(FileExists, TellsOpenableFilesFromOthers) {
    TempDir dir;
    write_file(dir.file("empty.txt"), "");
    EXPECT_TRUE(fileExists(dir.file("empty.txt")));
    EXPECT_FALSE(fileExists(dir.file("absent.txt")));
    CerrCapture err;
    EXPECT_FALSE(fileExists(dir.file("absent.txt")));
    EXPECT_EQ(err.text(), "");
}

TEST(ParseRow, ReadsNumbersUntilTheFirstFieldThatIsNotOne) {
    const Table t = readTable("1.5abc 2.0\n"
                              "abc 1.0\n"
                              "1.0,2.0\n"
                              "1e400 3.0\n"
                              "-2.5e-3\t+4E2  7\n"
                              "inf 1\n"
                              "1 2 3 4 5\n");
    ASSERT_EQ(t.size(), 7u);
    EXPECT_EQ(t[0], Row({1.5}));
    EXPECT_EQ(t[1], Row());
    EXPECT_EQ(t[2], Row({1.0}));
    EXPECT_EQ(t[3], Row());
    EXPECT_EQ(t[4], Row({-2.5e-3, 400.0, 7.0}));
    EXPECT_EQ(t[5], Row());
    EXPECT_EQ(t[6], Row({1, 2, 3, 4, 5}));
}

TEST(FileIn, SkipsCommentsEmptyLinesAndAmpersandLines) {
    const Table t = readTable("# comment\n"
                              "\n"
                              "0.013 0.234\n"
                              "& not data\n"
                              "-5.2 5.2 # trailing text ends the row\n"
                              "  # comment sign not in column 0\n"
                              "   \t \n"
                              "7.5"); // last line without a newline
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0], Row({0.013, 0.234}));
    EXPECT_EQ(t[1], Row({-5.2, 5.2}));
    EXPECT_EQ(t[2], Row());
    EXPECT_EQ(t[3], Row());
    EXPECT_EQ(t[4], Row({7.5}));
}

TEST(FileIn, ReadsCrlfLines) {
    const Table t = readTable("# comment\r\n1.0 2.0\r\n\r\n3.0 4.0\r\n");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], Row({1.0, 2.0}));
    EXPECT_EQ(t[1], Row()); // a lone carriage return is a line with no values
    EXPECT_EQ(t[2], Row({3.0, 4.0}));
}

TEST(FileIn, EmptyAndMissingFiles) {
    {
        CerrCapture err;
        EXPECT_TRUE(readTable("").empty());
        EXPECT_EQ(err.text(), "");
    }
    TempDir dir;
    CerrCapture err;
    EXPECT_TRUE(fileIn(dir.file("absent.txt").c_str()).empty());
    EXPECT_EQ(err.text(), "No such read-in file\n");
}

TEST(FileIn3, OneTablePerAmpersandLine) {
    const TableSeries s = readSeries("# header\n"
                                     "&\n" // before any data: an empty block
                                     "1 10\n"
                                     "# inside a block\n"
                                     "\n"
                                     "2 20 99\n"
                                     "& end of block 2\n"
                                     "&\n" // two in a row: another empty block
                                     "3 30\n"
                                     "&\n"
                                     "4 40\n"); // after the last '&': dropped
    ASSERT_EQ(s.size(), 4u);
    EXPECT_TRUE(s[0].empty());
    ASSERT_EQ(s[1].size(), 2u);
    EXPECT_EQ(s[1][0], Row({1, 10}));
    EXPECT_EQ(s[1][1], Row({2, 20, 99}));
    EXPECT_TRUE(s[2].empty());
    ASSERT_EQ(s[3].size(), 1u);
    EXPECT_EQ(s[3][0], Row({3, 30}));
}

TEST(FileIn3, WithoutAmpersandThereIsNoBlock) {
    EXPECT_TRUE(readSeries("1 2\n3 4\n").empty());
    EXPECT_TRUE(readSeries("").empty());
}

TEST(FileIn3, ReadsCrlfBlocks) {
    const TableSeries s = readSeries("1 2\r\n \r\n&\r\n3 4\r\n&\r\n");
    ASSERT_EQ(s.size(), 2u);
    ASSERT_EQ(s[0].size(), 2u);
    EXPECT_EQ(s[0][0], Row({1, 2}));
    EXPECT_EQ(s[0][1], Row());
    EXPECT_EQ(s[1][0], Row({3, 4}));
}

TEST(FileIn3, MissingFile) {
    TempDir dir;
    CerrCapture err;
    EXPECT_TRUE(fileIn3(dir.file("absent.txt").c_str()).empty());
    EXPECT_EQ(err.text(), "No such read-in file\n");
}

TEST(ReadReport, TellsWhatTheRowsLeaveOut) {
    TempDir dir;
    ReadReport report;
    write_file(dir.file("s.txt"), "1 10\n&\n2 20\n# comment\n\n3 30\n");
    EXPECT_EQ(read_series(dir.file("s.txt").c_str(), report).size(), 1u);
    EXPECT_TRUE(report.opened);
    EXPECT_TRUE(report.read_to_end);
    EXPECT_EQ(report.unfinished_rows, 2u);

    write_file(dir.file("s.txt"), "1 10\n&\n");
    read_series(dir.file("s.txt").c_str(), report);
    EXPECT_EQ(report.unfinished_rows, 0u); // a report is reset by every reading

    CerrCapture err; // the reporting readers are silent
    EXPECT_TRUE(read_series(dir.file("absent.txt").c_str(), report).empty());
    EXPECT_FALSE(report.opened);
    EXPECT_FALSE(report.read_to_end);
    EXPECT_TRUE(read_table(dir.file("absent.txt").c_str(), report).empty());
    EXPECT_FALSE(report.opened);
    EXPECT_EQ(err.text(), "");
}

TEST(ReadReport, ADirectoryOpensButCannotBeRead) {
    TempDir dir;
    ReadReport report;
    EXPECT_TRUE(read_series(dir.path().c_str(), report).empty());
    EXPECT_TRUE(report.opened);
    EXPECT_FALSE(report.read_to_end);
    EXPECT_TRUE(read_table(dir.path().c_str(), report).empty());
    EXPECT_TRUE(report.opened);
    EXPECT_FALSE(report.read_to_end);
}
