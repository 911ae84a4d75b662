#pragma once
// What a process holds, from /proc: its memory, threads and descriptors.

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

struct Usage {
    long rss_kb = 0;
    long peak_rss_kb = 0;
    int threads = 0;
    int descriptors = 0;
};

inline Usage usage_of(pid_t pid) {
    Usage usage;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> usage.rss_kb;
        } else if (key == "VmHWM:") {
            status >> usage.peak_rss_kb;
        } else if (key == "Threads:") {
            status >> usage.threads;
        }
        status.ignore(1 << 16, '\n');
    }
    if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* entry = readdir(fds)) {
            usage.descriptors += entry->d_name[0] != '.';
        }
        closedir(fds);
    }
    return usage;
}
