#include "net/CpuPinning.h"

#if defined(__linux__) && defined(QUILLFAST_CPU_PINNING)
#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Qt names the manager's HTTP thread "QNetworkAccessManager thread"; the kernel keeps 15 characters.
const char* const http_thread_name = "QNetworkAccessM";

std::vector<int> httpThreads()
{
    std::vector<int> found;
    std::unique_ptr<DIR, int (*)(DIR*)> tasks(opendir("/proc/self/task"), closedir);
    while (const dirent* task = tasks ? readdir(tasks.get()) : nullptr) {
        char path[320];
        std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", task->d_name);
        std::unique_ptr<FILE, int (*)(FILE*)> comm(std::fopen(path, "re"), std::fclose);
        char name[32] = {};
        if (comm && std::fgets(name, sizeof name, comm.get()) && std::strncmp(name, http_thread_name, std::strlen(http_thread_name)) == 0)
            found.push_back(std::atoi(task->d_name));
    }
    return found;
}

}

CpuPinning::CpuPinning()
{
    cpu_set_t mask;
    CPU_ZERO(&mask);
    const int cpu = sched_getcpu();
    if (cpu < 0 || sched_getaffinity(0, sizeof mask, &mask) != 0 || CPU_COUNT(&mask) < 2)
        return;
    savedMask.assign(reinterpret_cast<const unsigned long*>(&mask),
                     reinterpret_cast<const unsigned long*>(&mask) + sizeof mask / sizeof(unsigned long));
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0)
        return;
    for (const int thread : httpThreads())
        sched_setaffinity(thread, sizeof one, &one);
    active = true;
}

CpuPinning::~CpuPinning()
{
    if (!active)
        return;
    cpu_set_t mask;
    std::memcpy(&mask, savedMask.data(), sizeof mask);
    sched_setaffinity(0, sizeof mask, &mask);
    // The HTTP thread, made while the caller was pinned, inherited the one CPU: it gets the whole mask back too.
    for (const int thread : httpThreads())
        sched_setaffinity(thread, sizeof mask, &mask);
}

#else

CpuPinning::CpuPinning() = default;
CpuPinning::~CpuPinning() = default;

#endif
