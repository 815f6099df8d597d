// The allocation interposer of the allocation-failure sweep (one program
// only: it replaces the process's malloc family and operator new).
#ifndef ALLOC_INTERPOSER_H
#define ALLOC_INTERPOSER_H

#include <cstdio>

namespace alloc_interposer {

struct Tally {
    long allocations;  // made while armed, the failed one included
    long failed;       // 1 when the k-th was reached
    long live;         // allocated while armed and still not freed
};

// Starts counting; the fail_at-th allocation (1-based) fails, none for 0.
void arm(long fail_at);
// Counts no more and fails nothing, but still keeps track of the blocks.
void stop_failing();
Tally disarm();
// Blocks of the last armed run still not freed (frees after disarm count).
long live();

// Records a few return addresses for every block (for print_live); costly.
void trace(bool on);
// The blocks still live after disarm, each with where it was allocated
// (object(+offset) frames: addr2line -f -e OBJECT OFFSET names the line).
void print_live(FILE *out);

// The caller's own allocations in its scope are neither counted nor failed
// nor kept track of (a test's inputs).
class Hold {
public:
    Hold();
    ~Hold();
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    bool armed_, counting_;
};

}  // namespace alloc_interposer

#endif
