#include "mainTavri.h"
int ExecuteTavri(const char*, const char*, double*) { return 0; }
int TavriMain(int, char**) { return 0; }
