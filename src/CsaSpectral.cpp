#include "Csa.h"
