// The command line of pairfit4, pairfit2 and pairfit2x.
#include "CsaProgram.h"

#include <string>

RunOptions parse_options(int argc, const char* const* argv) {
    RunOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--report") {
            options.report = true;
        } else if (argument == "--z" || argument.rfind("--z=", 0) == 0) {
            if (argument == "--z" && i + 1 == argc) {
                throw Failure(FailureKind::bad_arguments, "--z needs a FILE of x values");
            }
            options.z_name = argument == "--z" ? argv[++i] : argument.substr(4);
            if (options.z_name.empty()) {
                throw Failure(FailureKind::bad_arguments, "--z needs a FILE of x values");
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
    return "usage: " + program + " [--report] [--z FILE]\n" + "       " + program +
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
           "  --help     print this text and exit\n"
           "\n"
           "report.csv, one header line, then one row per slice:\n"
           "  slice            the slice index, from 0\n"
           "  z                the slice's value of --z FILE; empty without\n"
           "  points           the slice's points inside the window\n"
           "  status           settled, or iteration_limit (stopped after 10000 iterations);\n"
           "                   then ';bound:' and the fitted parameters within 1e-9 of the\n"
           "                   bound 1e-4 or 10, e.g. \"settled;bound:MA,MB\" (quoted when\n"
           "                   it holds a comma)\n"
           "  iterations       the minimiser's iterations\n"
           "  MA, MB           the amplitudes (scaled intensity x ppm)\n"
           "  LWA, LWB         the half widths at half height (ppm)\n"
           "  height_A, _B     the line maxima M/W (scaled intensity)\n"
           "  area_A, _B       the line areas pi*M\n"
           "  fraction_A       MA/(MA+MB), A's share of the total area\n"
           "  rss              the residual sum of squares (residual_square_tot of results.txt)\n"
           "  sigma            sqrt(rss/(points - fitted parameters))\n"
           "  scale_factor     the common divisor of the intensities: multiply MA, MB,\n"
           "                   heights, areas, sigma and the errors by it, rss by its square,\n"
           "                   for the spectrum's own units\n"
           "  NAME_se          the standard error of NAME\n"
           "Standard errors: covariance = sigma^2 (J^T J)^-1, where J holds the derivatives of\n"
           "the two-line model at every window point with respect to the fitted parameters not\n"
           "at a bound; heights, areas and fraction_A by first-order propagation. Values are\n"
           "shortest round-trip numbers. An empty cell is a value not defined: the error of a\n"
           "parameter held fixed or at a bound (and of what is derived from it), and every\n"
           "error when points <= fitted parameters or J^T J is singular.\n";
}
