#ifndef CPUPINNING_H
#define CPUPINNING_H

#include <vector>

// Keeps the uploading thread and Qt's HTTP thread on one CPU while it lives.
//
// Why: Qt hands the body from the thread that owns the form to its HTTP
// thread 16 KiB at a time. When the two threads sit on different CPUs, each
// hand-off wakes an idle CPU, which on a virtual machine costs up to four
// times the CPU and a fifth of the rate; which placement a run gets is luck.
// Pinned to the CPU the caller is on, every hand-off stays local. The HTTP
// thread inherits the mask when the manager makes it on its first request;
// one that exists already is pinned too. Both masks are restored at the end.
//
// Made after the archive step, so that 7z keeps the whole mask. Linux only;
// it does nothing elsewhere, when the process may run on one CPU only, when a
// call fails, or in a build without it (QUILLFAST_CPU_PINNING off).
class CpuPinning {
public:
    CpuPinning();
    ~CpuPinning();
    CpuPinning(const CpuPinning&) = delete;
    CpuPinning& operator=(const CpuPinning&) = delete;

    // Whether the threads were pinned.
    bool isActive() const { return active; }

private:
    bool active = false;
    std::vector<unsigned long> savedMask;  // the caller's mask before, as the words of a cpu_set_t
};

#endif
