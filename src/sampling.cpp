#include "sampling.h"
