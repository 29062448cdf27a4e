#include "tarn/CrashLog.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tarn {

namespace {

// The crash-log folder, set at start-up; guarded by the mutex, which also
// keeps lines from two reactors whole.
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
std::string& folder() {
    static std::string f;
    return f;
}

std::string pathLocked() {
    const std::string& dir = folder();
    if (dir.empty()) return "VaskelCrashes.txt";
    return dir.back() == '/' ? dir + "VaskelCrashes.txt" : dir + "/VaskelCrashes.txt";
}

}  // namespace

void setCrashLogFolder(const std::string& dir) {
    std::lock_guard<std::mutex> guard(logMutex());
    folder() = dir;
}

std::string crashLogPath() {
    std::lock_guard<std::mutex> guard(logMutex());
    return pathLocked();
}

void writeCrashLine(const std::string& line, bool toStdout) {
    std::lock_guard<std::mutex> guard(logMutex());
    if (toStdout) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (FILE* f = std::fopen(pathLocked().c_str(), "a")) {
        std::fputs(line.c_str(), f);
        std::fputc('\n', f);
        std::fflush(f);
        std::fclose(f);
    }
}

std::string demangledName(const char* mangled) {
    if (mangled == nullptr || *mangled == '\0') return {};
    int status = 0;
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status != 0 || name == nullptr) {
        std::free(name);
        return {};
    }
    std::string result(name);
    std::free(name);
    return result;
}

}  // namespace tarn
