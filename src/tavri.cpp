#include "tavri.h"
