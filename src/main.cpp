#include "mainTavri.h"

int main(int argc, char** argv) { return TavriMain(argc, argv); }
