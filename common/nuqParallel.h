// Loops over independent blocks of voxels (rows, planes, slices) that run on
// all cores when the build has OpenMP, with results that do not depend on
// the number of threads:
// - ParallelFor runs blocks whose results go to distinct voxels only;
// - ParallelOrdered runs the costly part of every block in parallel and then
//   hands the blocks, one at a time and in block order, to a serial step
//   (sums, extremes, updates that later blocks depend on). A thread finishing
//   block i goes on with block i + nThreads while block i waits its turn, so
//   the serial step overlaps the parallel work.
// The thread count is OpenMP's: all cores unless OMP_NUM_THREADS says
// otherwise. Blocks must not throw: an exception cannot leave a thread.
#pragma once

#ifdef _OPENMP
#include <omp.h>
#endif

// block(i) for every i in [0, count), in any order and at the same time.
template <class Block>
void ParallelFor(long long count, Block block) {
#ifdef _OPENMP
#pragma omp parallel for schedule(dynamic, 1) if (count > 1)
  for (long long i = 0; i < count; ++i) block(i);
#else
  for (long long i = 0; i < count; ++i) block(i);
#endif
}

// body(part, parts) once on every thread, part = 0 .. parts - 1; for work
// that splits by an ownership rule rather than by index.
template <class Body>
void ParallelShares(Body body) {
#ifdef _OPENMP
#pragma omp parallel
  body(omp_get_thread_num(), omp_get_num_threads());
#else
  body(0, 1);
#endif
}

// For every i in [0, count): compute(i, scratch) in parallel, then
// serial(i, scratch) in increasing i, one block at a time. Each thread owns
// one Scratch (default-constructed) that carries a block's results from the
// first step to the second and is reused for its next block.
template <class Scratch, class Compute, class Serial>
void ParallelOrdered(long long count, Compute compute, Serial serial) {
#ifdef _OPENMP
#pragma omp parallel if (count > 1)
  {
    Scratch scratch;
#pragma omp for ordered schedule(static, 1)
    for (long long i = 0; i < count; ++i) {
      compute(i, scratch);
#pragma omp ordered
      serial(i, scratch);
    }
  }
#else
  Scratch scratch;
  for (long long i = 0; i < count; ++i) {
    compute(i, scratch);
    serial(i, scratch);
  }
#endif
}
