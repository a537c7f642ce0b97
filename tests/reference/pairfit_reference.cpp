// pairfit4_reference, pairfit2_reference: the programs' run with the reference stages, for
// byte-for-byte comparisons and speed ratios. FREE_PARAMS is set by the build.
#include "ReferenceDriver.h"
#include "ReferenceStages.h"

int main() {
    return reference::run_series_fit<FREE_PARAMS, reference::Stages>();
}
