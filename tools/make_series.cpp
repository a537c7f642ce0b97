// make_series FOLDER [name=value ...]: writes a synthetic 2d.txt and peaks.txt.
// Names: slices points ppm_high ppm_low peak_A peak_B hwhh_A hwhh_B amplitude
//        first_share_A noise seed window_low window_high
#include "synthetic_series.h"

#include <cstdlib>
#include <iostream>
#include <map>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: make_series FOLDER [name=value ...]\n";
        return 2;
    }
    SeriesSettings settings;
    std::map<std::string, double*> doubles = {{"ppm_high", &settings.ppm_high},
                                              {"ppm_low", &settings.ppm_low},
                                              {"peak_A", &settings.peak_A},
                                              {"peak_B", &settings.peak_B},
                                              {"hwhh_A", &settings.hwhh_A},
                                              {"hwhh_B", &settings.hwhh_B},
                                              {"amplitude", &settings.amplitude},
                                              {"first_share_A", &settings.first_share_A},
                                              {"noise", &settings.noise},
                                              {"window_low", &settings.window_low},
                                              {"window_high", &settings.window_high}};
    for (int i = 2; i < argc; ++i) {
        const std::string setting = argv[i];
        const auto eq = setting.find('=');
        const std::string name = setting.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : setting.substr(eq + 1);
        if (name == "slices") {
            settings.slices = std::atoi(value.c_str());
        } else if (name == "points") {
            settings.points = std::atoi(value.c_str());
        } else if (name == "seed") {
            settings.seed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (doubles.count(name) != 0 && !value.empty()) {
            *doubles[name] = std::atof(value.c_str());
        } else {
            std::cerr << "make_series: unknown setting '" << setting << "'\n";
            return 2;
        }
    }
    if (!write_series(settings, argv[1])) {
        std::cerr << "make_series: cannot write into " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
