#pragma once

namespace dravelin {

// Makes the compute threads sleep instead of spin while they wait for each
// other, so that a generation sharing the machine with other busy programs
// slows in proportion rather than burning the time slices the others need.
//
// The OpenMP runtime (GNU libgomp, which oneDNN and our own loops use) reads
// its wait policy once, while it is loaded, before main runs; setting it later
// has no effect. So when neither OMP_WAIT_POLICY nor GOMP_SPINCOUNT is set,
// this sets OMP_WAIT_POLICY=PASSIVE and starts the program again in place
// (execv of /proc/self/exe with the same arguments); the new image reads it
// when libgomp loads. A policy the user set is kept, and if the program
// cannot be started again it goes on with the runtime's default.
//
// Call first thing in main, before any thread exists.
void usePassiveComputeWaiting(char** argv);

} // namespace dravelin
