// Writes spectra in the NMRPipe layout for the tests: a header of 512 float32 words, then
// every row's real points (and, for complex data, as many imaginary ones after them).
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace nmrpipe_writer {

// The direct dimension's axis as the header states it.
struct Axis {
    double sweep_width = 0.0; // Hz
    double origin = 0.0;      // Hz at the last point
    double observe = 0.0;     // MHz
};

// The axis of `points` points whose first lies at `first_ppm`, spaced `sweep_width` / (observe
// * points) ppm apart: Bruker's OFFSET, SW_p, SF and SI in NMRPipe's terms.
inline Axis axis_from_first_point(double first_ppm, double sweep_width, double observe,
                                  std::size_t points) {
    return {sweep_width, first_ppm * observe - sweep_width + sweep_width / double(points), observe};
}

struct Layout {
    bool big_endian = false;
    int dimensions = 2; // 1 for a 1D file of one row
    bool complex = false;
    bool indirect_spectrum = false; // F1 Fourier transformed: a true 2D
    Axis axis;
    std::map<std::size_t, float> words; // header words set last, over the others
};

inline void put_float(std::string& bytes, std::size_t at, float value, bool big_endian) {
    std::uint32_t word = 0;
    std::memcpy(&word, &value, sizeof word);
    for (std::size_t b = 0; b < 4; ++b) {
        const std::size_t shift = big_endian ? 3 - b : b;
        bytes[at + b] = static_cast<char>((word >> (8 * shift)) & 0xff);
    }
}

// The file of `rows`, each the real points of one row; a complex file gets -2 times each
// point as its imaginary half, so that a reader that takes it shows.
inline std::string file_bytes(const std::vector<std::vector<double>>& rows, const Layout& layout) {
    const std::size_t points = rows.empty() ? 0 : rows.front().size();
    const std::size_t per_row = points * (layout.complex ? 2 : 1);
    std::string bytes(2048 + 4 * per_row * rows.size(), '\0');
    std::map<std::size_t, float> header = {
        {2, 2.345f}, // FDFLTORDER
        {9, float(layout.dimensions)},
        {24, 2.0f},
        {25, 1.0f},
        {26, 3.0f},
        {27, 4.0f},                                    // FDDIMORDER1-4
        {55, 1.0f},                                    // FDF1QUADFLAG: F1 real
        {56, layout.complex ? 0.0f : 1.0f},            // FDF2QUADFLAG
        {99, float(points)},                           // FDSIZE
        {100, float(layout.axis.sweep_width)},         // FDF2SW
        {101, float(layout.axis.origin)},              // FDF2ORIG
        {106, layout.complex ? 0.0f : 1.0f},           // FDQUADFLAG
        {119, float(layout.axis.observe)},             // FDF2OBS
        {219, float(rows.size())},                     // FDSPECNUM
        {220, 1.0f},                                   // FDF2FTFLAG
        {221, 0.0f},                                   // FDTRANSPOSED
        {222, layout.indirect_spectrum ? 1.0f : 0.0f}, // FDF1FTFLAG
        {442, 1.0f},                                   // FDFILECOUNT
    };
    for (const auto& [index, value] : layout.words) {
        header[index] = value;
    }
    for (const auto& [index, value] : header) {
        put_float(bytes, 4 * index, value, layout.big_endian);
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t i = 0; i < points; ++i) {
            const std::size_t at = 2048 + 4 * (r * per_row + i);
            put_float(bytes, at, float(rows[r][i]), layout.big_endian);
            if (layout.complex) {
                put_float(bytes, at + 4 * points, float(-2 * rows[r][i]), layout.big_endian);
            }
        }
    }
    return bytes;
}

} // namespace nmrpipe_writer
