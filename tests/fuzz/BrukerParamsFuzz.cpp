// The Bruker readers on any bytes: the text before the first NUL byte is a procs file (and an
// x list), the bytes after it a 1r file. Each gives a value or an Failure, nothing else.
#include "FuzzSupport.h"
#include "ReadImport.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t split = bytes.find('\0');
    const std::string text = bytes.substr(0, split);
    const std::string points = split == std::string::npos ? "" : bytes.substr(split + 1);

    const BrukerParameters procs = parse_bruker_parameters(text);
    for (const auto& [name, value] : procs) {
        FUZZ_CHECK(value.find('\n') == std::string::npos, name + " holds a line end");
    }
    try {
        const ImportedSpectrum spectrum = bruker_1d_spectrum(procs, points, "procs", "1r");
        FUZZ_CHECK(spectrum.ppm.size() == spectrum.intensity.size(), fuzzing::shown(text));
        for (std::size_t i = 0; i < spectrum.ppm.size(); ++i) {
            FUZZ_CHECK(std::isfinite(spectrum.ppm[i]) && std::isfinite(spectrum.intensity[i]),
                       fuzzing::shown(text));
        }
    } catch (const Failure& error) {
        FUZZ_CHECK(error.kind == FailureKind::malformed_input, error.what());
    }
    try {
        const XList list = parse_x_list(text, "vdlist", "vdlist");
        FUZZ_CHECK(!list.values.empty(), fuzzing::shown(text));
    } catch (const Failure& error) {
        FUZZ_CHECK(error.kind == FailureKind::malformed_input, error.what());
    }
    return 0;
}
