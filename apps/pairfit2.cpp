// pairfit2: amplitudes are fitted; the half-widths stay at the third row of peaks.txt.
#include "Csa.h"

int main() {
    return pairfit_main<2>();
}
