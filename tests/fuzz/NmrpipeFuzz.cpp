// parse_nmrpipe on any bytes: a series or a refusal naming the file, nothing else. A series
// has the rows and points its header states, a finite axis from high to low, and at each point
// the float32 that a plain decoding here finds at that row's place in the file.
#include "FuzzSupport.h"
#include "ReadImport.h"

#include <cmath>
#include <cstring>
#include <string>

namespace {

float stored_float(const std::string& bytes, std::size_t at, bool big_endian) {
    unsigned char word[4];
    for (std::size_t b = 0; b < 4; ++b) {
        word[b] = static_cast<unsigned char>(bytes[at + (big_endian ? 3 - b : b)]);
    }
    float value = 0.0f;
    std::memcpy(&value, word, sizeof value);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        const ImportedSeries series = parse_nmrpipe(bytes, "fuzz.ft2");
        const NmrpipeHeader header = parse_nmrpipe_header(bytes, "fuzz.ft2");
        FUZZ_CHECK(is_nmrpipe_header(bytes), fuzzing::shown(bytes));
        FUZZ_CHECK(bytes.size() == nmrpipe_file_bytes(header), fuzzing::shown(bytes));
        FUZZ_CHECK(series.slices.size() == header.rows, fuzzing::shown(bytes));
        const bool big_endian = stored_float(bytes, 8, false) != 2.345f;
        FUZZ_CHECK(big_endian == header.big_endian, fuzzing::shown(bytes));
        const std::size_t row_values = header.points * (header.complex ? 2 : 1);
        for (std::size_t r = 0; r < series.slices.size(); ++r) {
            const ImportedSpectrum& slice = series.slices[r];
            FUZZ_CHECK(slice.ppm.size() == header.points && slice.intensity.size() == header.points,
                       fuzzing::shown(bytes));
            for (std::size_t i = 0; i < header.points; ++i) {
                FUZZ_CHECK(std::isfinite(slice.ppm[i]) &&
                               (i == 0 || slice.ppm[i] < slice.ppm[i - 1]),
                           fuzzing::shown(bytes));
                const float stored = stored_float(
                    bytes, nmrpipe_header_bytes + 4 * (r * row_values + i), big_endian);
                FUZZ_CHECK(slice.intensity[i] == double(stored), fuzzing::shown(bytes));
            }
        }
    } catch (const Failure& error) {
        FUZZ_CHECK(error.kind == FailureKind::malformed_input &&
                       std::string(error.what()).rfind("fuzz.ft2: ", 0) == 0,
                   std::string(error.what()) + "\n" + fuzzing::shown(bytes));
    }
    return 0;
}
