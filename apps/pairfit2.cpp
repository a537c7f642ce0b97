// pairfit2: amplitudes are fitted; the half-widths stay at the third row of peaks.txt.
#include "Program.h"

int main(int argc, char** argv) {
    return pairfit_main(argc, argv, /*half_widths_free=*/false);
}
