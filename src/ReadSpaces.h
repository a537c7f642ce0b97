// Whitespace as the number scanner sees it, for the readers that skip it themselves. Not
// installed.
#pragma once

// Whitespace as the classic locale's ctype sees it.
inline bool is_classic_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
