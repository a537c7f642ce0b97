// The usage text of a run without its input files.
#include "ReadUsage.h"

#include <cstdlib>
#include <iostream>

void write_usage_text() {
    static const char usage[] = "##############################################\n"
                                "##############################################\n"
                                "\n"
                                "ERROR: Not enough input files specified. \n"
                                "USAGE: reads in 'peak.txt' and '2d.txt'  \n"
                                " files by default so they must be in your directory  \n"
                                "\n"
                                " peak.txt format: \n"
                                " peak_A(in ppm) peak_B(in ppm) \n"
                                " peak range to cut in ppm \n"
                                "  \n"
                                " eg): \n"
                                " 0.013 0.234 \n"
                                " -5.2 5.2 \n"
                                "\n"
                                "##############################################\n"
                                "##############################################\n";
    std::cerr << usage << std::flush;
}

void print_help() {
    write_usage_text();
    std::exit(1);
}
