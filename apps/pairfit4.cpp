// pairfit4: amplitudes and half-widths of both lines are fitted in every slice.
#include "Csa.h"

int main(int argc, char** argv) {
    return pairfit_main<4>(argc, argv);
}
