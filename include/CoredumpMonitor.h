// Problem: applications that crash under the stress leave core dumps that
// QA must find in the morning.
// Solution: point the kernel's core pattern at /tmp, and have a watcher
// thread record each dump in both logs and move it to the save path.
#ifndef TAPFUZZ_COREDUMPMONITOR_H
#define TAPFUZZ_COREDUMPMONITOR_H

#include <pthread.h>

extern char gcorepath[64];

class dumpMonitor {
public:
    dumpMonitor();
    ~dumpMonitor();
    dumpMonitor(const dumpMonitor&) = delete;
    dumpMonitor& operator=(const dumpMonitor&) = delete;

    void StartMonitor();
    static void* monitorDump(void* arg);

private:
    pthread_t m_mointor;
    bool m_started;
};

#endif
