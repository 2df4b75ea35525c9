#pragma once

namespace dravelin {

// How far below the window the generation runs: nice +5 gets a third of the
// CPU time of a program at the default priority on a contended core, so
// input, drawing and the rest of the desktop come first while a busy machine
// still leaves the generation a fair share.
inline constexpr int generationNiceIncrement = 5;

// Lowers the calling thread's scheduling priority by `increment` nice levels
// (up to the lowest, 19). Threads it starts afterwards, such as its compute
// threads, inherit it. Returns false if the system refused.
bool lowerThisThreadPriority(int increment);

// The calling thread's nice value.
int thisThreadNiceValue();

} // namespace dravelin
