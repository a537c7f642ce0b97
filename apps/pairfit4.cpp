// pairfit4: amplitudes and half-widths of both lines are fitted in every slice.
#include "Program.h"

int main(int argc, char** argv) {
    return pairfit_main(argc, argv, /*half_widths_free=*/true);
}
