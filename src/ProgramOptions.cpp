// The command line of pairfit4, pairfit2 and pairfit2x.
#include "Program.h"

#include "ReadNumbers.h"

#include <algorithm>
#include <string>
#include <vector>

const std::string& option_value(const std::vector<std::string>& args, std::size_t& i,
                                const std::string& missing) {
    if (i + 1 >= args.size()) {
        throw Failure(FailureKind::bad_arguments, missing);
    }
    return args[++i];
}

std::array<double, 2> option_numbers(const std::vector<std::string>& args, std::size_t& i,
                                     const std::string& missing) {
    std::array<double, 2> numbers{};
    if (i + 2 >= args.size() || !parse_number(args[i + 1], numbers[0]) ||
        !parse_number(args[i + 2], numbers[1])) {
        throw Failure(FailureKind::bad_arguments, missing);
    }
    i += 2;
    return numbers;
}

RunOptions parse_options(int argc, const char* const* argv) {
    RunOptions options;
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& argument = args[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--report") {
            options.report = true;
        } else if (argument == "--signed") {
            options.signed_amplitudes = true;
        } else if (argument == "--noise") {
            const auto [a, b] =
                option_numbers(args, i, "--noise needs the two ppm limits of a signal-free region");
            options.noise = {true, std::min(a, b), std::max(a, b)};
            options.report = true;
        } else if (argument == "--z" || argument.rfind("--z=", 0) == 0) {
            const std::string missing = "--z needs a FILE of x values";
            options.z_name =
                argument == "--z" ? option_value(args, i, missing) : argument.substr(4);
            if (options.z_name.empty()) {
                throw Failure(FailureKind::bad_arguments, missing);
            }
            options.report = true;
        } else {
            throw Failure(
                FailureKind::bad_arguments,
                (argument.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '") +
                    argument + "'");
        }
    }
    return options;
}

std::string usage_text(const std::string& program) {
    return "usage: " + program + " [--report] [--z FILE] [--signed] [--noise A B]\n" + "       " +
           program +
           " --help\n"
           "\n"
           "Fits every slice of 2d.txt with two Lorentzian lines at the positions of peaks.txt\n"
           "(both in the working directory) and writes dat.txt, sim_a.txt, sim_b.txt, res.txt\n"
           "and results.txt there. Without options nothing else is written.\n"
           "\n"
           "  --report   also write report.csv: one row per slice, every value at full\n"
           "             precision with its standard error, and the fit's status\n"
           "  --z FILE   the x value of each slice (delay, concentration, temperature...) for\n"
           "             report.csv: one number per line in slice order, '#' comments and\n"
           "             empty lines skipped; implies --report\n"
           "  --signed   amplitudes MA, MB within -10 and 10 instead of 1e-4 and 10 (inverted\n"
           "             lines, inversion recovery); the scale factor is then the largest\n"
           "             absolute intensity; the amplitudes are then solved exactly for each\n"
           "             pair of half-widths, which a trust region fits (from the previous\n"
           "             slice's and from a scan of the box's lower minima), so a line\n"
           "             passing through 0 does not stall the fit\n"
           "  --noise A B  a signal-free region between A and B ppm (either order, inside\n"
           "             the window or not, at least 16 points): each slice's noise is the\n"
           "             standard deviation of its scaled intensities there; the standard\n"
           "             errors then use it instead of sigma, and a slice whose chi2_red lies\n"
           "             above the 99.9 % point of F(points - fitted, noise points - 1) gets\n"
           "             ';misfit' in its status; implies --report\n"
           "  --help     print this text and exit\n"
           "\n"
           "report.csv, one header line, then one row per slice:\n"
           "  slice            the slice index, from 0\n"
           "  z                the slice's value of --z FILE; empty without\n"
           "  points           the slice's points inside the window\n"
           "  status           settled, or iteration_limit (stopped after 10000 iterations);\n"
           "                   then ';bound:' and the fitted parameters within 1e-9 of the\n"
           "                   bound 1e-4 or 10 (-10 or 10 for MA, MB with --signed),\n"
           "                   e.g. \"settled;bound:MA,MB\" (quoted when it holds a comma);\n"
           "                   then ';misfit' (--noise)\n"
           "  iterations       the minimiser's iterations\n"
           "  MA, MB           the amplitudes (scaled intensity x ppm)\n"
           "  LWA, LWB         the half widths at half height (ppm)\n"
           "  height_A, _B     the line maxima M/W (scaled intensity)\n"
           "  area_A, _B       the line areas pi*M\n"
           "  fraction_A       MA/(MA+MB), A's share of the total area\n"
           "  rss              the residual sum of squares (residual_square_tot of results.txt)\n"
           "  sigma            sqrt(rss/(points - fitted parameters))\n"
           "  scale_factor     the common divisor of the intensities: multiply MA, MB,\n"
           "                   heights, areas, sigma, noise and the errors by it, rss by its\n"
           "                   square, for the spectrum's own units\n"
           "  noise            the slice's noise (--noise); empty without\n"
           "  chi2_red         rss / ((points - fitted parameters) noise^2); empty without\n"
           "  NAME_se          the standard error of NAME\n"
           "Standard errors: covariance = sigma^2 (J^T J)^-1 (noise^2 with --noise), where J\n"
           "holds the derivatives of the two-line model at every window point with respect to\n"
           "the fitted parameters not at a bound; heights, areas and fraction_A by first-order\n"
           "propagation. Values are shortest round-trip numbers. An empty cell is a value not\n"
           "defined: the error of a parameter held fixed or at a bound (and of what is derived\n"
           "from it), of a half-width whose line's amplitude is 0, and every error when\n"
           "points <= fitted parameters or J^T J is singular.\n";
}

OptionWord split_option_word(const std::string& word) {
    const std::size_t eq = word.find('=');
    if (word.rfind("--", 0) == 0 && eq != std::string::npos) {
        return {word.substr(0, eq), word.substr(eq + 1), true};
    }
    return {word, "", false};
}
