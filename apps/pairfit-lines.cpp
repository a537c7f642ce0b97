// pairfit-lines: any number of lines of any common shape on a baseline, fitted in every slice.
#include "LinesProgram.h"

int main(int argc, char** argv) {
    return pairfit_lines_main(argc, argv);
}
