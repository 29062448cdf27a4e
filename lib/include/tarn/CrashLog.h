#pragma once

#include <string>
#include <typeinfo>

namespace tarn {

/// The crash log: one line per failure caught on a reactor thread, written to
/// standard output and appended to "VaskelCrashes.txt" in the crash-log
/// folder. The folder is a process-wide setting (default: the current
/// folder), set once at start-up. Any thread.
void setCrashLogFolder(const std::string& folder);
std::string crashLogPath();

/// Writes one line (a newline is added): to standard output when `toStdout`,
/// then to the file, opened for appending for this line only. A file that
/// cannot be opened is skipped silently.
void writeCrashLine(const std::string& line, bool toStdout = true);

/// The demangled dynamic class name of a polymorphic object, or an empty
/// string when it cannot be determined.
std::string demangledName(const char* mangled);
template <typename T>
std::string dynamicClassName(const T& object) {
    return demangledName(typeid(object).name());
}

}  // namespace tarn
