#include "Fit.h"
