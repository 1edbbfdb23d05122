#include "forkwitness.h"

#include <sys/mman.h>

ForkWitness::ForkWitness()
{
    void *shared = ::mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED)
        flag = static_cast<volatile int *>(shared);
}

ForkWitness::~ForkWitness()
{
    if (flag)
        ::munmap(const_cast<int *>(flag), sizeof(int));
}

void ForkWitness::clear()
{
    if (flag)
        *flag = 0;
}

void ForkWitness::mark() const
{
    if (flag)
        *flag = 1;
}

bool ForkWitness::forked() const
{
    return !flag || *flag != 0;
}
