#include "nuqTransformVectorApp.h"

int main(int argc, char **argv) { return NuqTransformVectorMain(argc, argv); }
