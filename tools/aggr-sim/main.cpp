#include "aggrsim/Simulator.h"

#if defined(__SANITIZE_THREAD__)
// cpp-httplib comes from the system, not built with the thread sanitizer: its
// worker pool synchronises in code the sanitizer cannot see, so the copies it
// makes between its threads would be reported. Our own accesses stay checked.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
#endif

int main(int argc, char** argv) { return aggrsim::runMain(argc, argv); }
