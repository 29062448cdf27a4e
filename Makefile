# The README's commands. `make test` installs what is missing, builds and runs
# every test; `make test SANITIZE=address,undefined` (or thread) does the same
# in a build folder of its own with the sanitizers on.
SANITIZE ?=
JOBS ?= 2
CTEST_ARGS ?=
# Build only these targets (default: everything); CI's ThreadSanitizer run
# builds just the library's test programs.
TARGETS ?=

comma := ,
empty :=
space := $(empty) $(empty)
ifeq ($(SANITIZE),)
BUILD_DIR ?= build
CMAKE_SAN :=
else
BUILD_DIR ?= build-$(subst $(comma),-,$(SANITIZE))
CMAKE_SAN := -DTALLYSCOPE_SANITIZE="$(subst $(comma),;,$(SANITIZE))"
endif

# Any sanitizer report fails the run.
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1

.PHONY: deps configure build test bench demo format clean

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_SAN) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS) $(if $(TARGETS),--target $(TARGETS))

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS) --timeout 300 $(CTEST_ARGS)

# The viewer against the simulated server on loopback (scripts/demo).
demo: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS) --target tallyscope tallyscope-aggr-sim
	@scripts/demo $(BUILD_DIR)

bench: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-bench -j$(JOBS) --target benches
	@for b in build-bench/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

# The viewer program against the simulator for five minutes (bench/soak): its
# memory, descriptors and threads must stay flat. SOAK_SECONDS shortens it.
.PHONY: soak
soak: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-bench -j$(JOBS) --target tallyscope tallyscope-aggr-sim
	@bench/soak build-bench

# Debian packages of the viewer and the simulator (CPack) in build-package/.
PACKAGE_DIR ?= build-package
.PHONY: package
package: build
	@cpack -G DEB --config $(BUILD_DIR)/CPackConfig.cmake -B $(abspath $(PACKAGE_DIR)) >/dev/null
	@ls -1 $(PACKAGE_DIR)/*.deb

# Every fuzz target under libFuzzer for SECONDS each, built with clang in
# build-fuzz/ (tests/fuzz/run-fuzzers); without clang, a replay of the stored inputs.
SECONDS ?= 30
.PHONY: fuzz
fuzz: deps
	@BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) tests/fuzz/run-fuzzers $(SECONDS)

# The sources as .clang-format has them; `make format-check` (CI) changes
# nothing and fails on any difference.
.PHONY: format-check
format: deps
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check: deps
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build build-* 
