// The lines of a text in memory, one by one, for the readers of small files (lines.txt,
// z.txt, report.csv). Not installed.
#pragma once

#include <cstddef>
#include <string_view>

class TextLines {
  public:
    explicit TextLines(std::string_view text) : text_(text) {}

    // The next line without its '\n' (the last line need not end in one); false after it.
    bool next(std::string_view& line) {
        if (start_ >= text_.size()) {
            return false;
        }
        std::size_t stop = text_.find('\n', start_);
        if (stop == std::string_view::npos) {
            stop = text_.size();
        }
        line = text_.substr(start_, stop - start_);
        start_ = stop + 1;
        ++number_;
        return true;
    }

    // The number of the line `next` gave last, from 1.
    std::size_t number() const { return number_; }

  private:
    std::string_view text_;
    std::size_t start_ = 0;
    std::size_t number_ = 0;
};
