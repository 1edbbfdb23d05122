#ifndef FORKWITNESS_H
#define FORKWITNESS_H

// Tells whether a process start got as far as its child: the child marks a
// flag in memory it shares with its parent, between the fork and the exec.
// A start that failed before (no pipe, no process) failed for the parent's
// own want of descriptors, memory or processes, whatever the toolkit's
// message says; one that failed after was refused by the exec.
class ForkWitness
{
public:
    ForkWitness();
    ~ForkWitness();
    ForkWitness(const ForkWitness &) = delete;
    ForkWitness &operator=(const ForkWitness &) = delete;

    // Before a start.
    void clear();
    // In the child, after the fork; async-signal-safe.
    void mark() const;
    // True once a child marked the flag since the last clear(), and when
    // the shared memory could not be had (then nothing is known).
    bool forked() const;

private:
    volatile int *flag = nullptr;
};

#endif // FORKWITNESS_H
