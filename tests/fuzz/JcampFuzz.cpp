// parse_jcamp on any bytes: a spectrum or an Failure, nothing else; a spectrum has as many
// finite intensities as finite ppm values, running from high to low.
#include "FuzzSupport.h"
#include "ReadImportParts.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const ImportedSeries series = parse_jcamp(text, "fuzz.dx");
        FUZZ_CHECK(series.slices.size() == 1, fuzzing::shown(text));
        const ImportedSpectrum& spectrum = series.slices.front();
        FUZZ_CHECK(!spectrum.ppm.empty() && spectrum.ppm.size() == spectrum.intensity.size(),
                   fuzzing::shown(text));
        for (std::size_t i = 0; i < spectrum.ppm.size(); ++i) {
            FUZZ_CHECK(std::isfinite(spectrum.ppm[i]) && std::isfinite(spectrum.intensity[i]),
                       fuzzing::shown(text));
            FUZZ_CHECK(i == 0 || spectrum.ppm[i] <= spectrum.ppm[i - 1], fuzzing::shown(text));
        }
    } catch (const Failure& error) {
        FUZZ_CHECK(error.kind == FailureKind::malformed_input &&
                       std::string(error.what()).rfind("fuzz.dx", 0) == 0,
                   std::string(error.what()) + "\n" + fuzzing::shown(text));
    }
    // Each line alone as a data line, as the spectrum's lines are decoded.
    fuzzing::for_each_line(text, [](const std::string& line) {
        try {
            decode_jcamp_line(line, "line");
        } catch (const Failure& error) {
            FUZZ_CHECK(error.kind == FailureKind::malformed_input, error.what());
        }
    });
    return 0;
}
