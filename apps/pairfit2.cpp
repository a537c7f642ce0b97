// pairfit2: amplitudes are fitted; the half-widths stay at the third row of peaks.txt.
#include "Csa.h"

int main(int argc, char** argv) {
    return pairfit_main<2>(argc, argv);
}
