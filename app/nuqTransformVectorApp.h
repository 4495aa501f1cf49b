// Entry point of nuqtransformvector: option scan, loading, checks, one action.
#pragma once

int NuqTransformVectorMain(int argc, char **argv);
