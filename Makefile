# Entry points for developers and CI. Every target installs what it needs first.
#   make layers - no source includes a header of a layer above its own (scripts/check-layers)
#   make format-check - every C++ file laid out as .clang-format says (make format rewrites them)
#   make test   - everything CI checks: the layer and layout checks first, ASan+UBSan build and all tests, TSan build of the
#                 threaded tests (run twice under load), libFuzzer targets run for a bounded
#                 time, one host session under valgrind memcheck, the warnings of a second
#                 compiler, the package, and last the Windows build and its tests under Wine
#   make demo   - a whole session against the simulated phone
#   make unit   - ASan+UBSan build and tests only (quick)
#   make bench  - optimised build and the benchmark programs
#   make windows, make test-windows - the Windows cross build, and its tests under Wine (with the
#                 simulated service in a process of its own: scripts/check-out-of-process)
#   make windows-package - the Windows ZIP (build/windows-release/vela-*-win64.zip)
#   make deb    - the Debian package (build/release/vela_*.deb)
#   make install-check - the package unpacked in a fresh root and checked file by file,
#                 vela-host and the example host (examples/host, built out of tree against the
#                 unpacked package) run from it
#   make warnings - everything but the test programs built with GCC (Release) and with clang
#                 (the fuzzing tree); the sanitizer trees compile the test programs with -Werror
# Every build here turns warnings into errors (VELA_WERROR); a plain cmake build only reports them.
# A tree is configured again when this file changes (touch: cmake leaves an unchanged
# build.ninja as it was).
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 15
# The sanitizer trees keep line tables (what their reports print), not full debug information,
# and the Windows test tree none (nothing reads it under Wine): each compiles and links faster.
DEBUG_INFO := -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1
WINDOWS_DEBUG_INFO := -DCMAKE_C_FLAGS_DEBUG=-g0 -DCMAKE_CXX_FLAGS_DEBUG=-g0
BUILD := build

.PHONY: layers format-check test unit tsan fuzz memcheck bench demo deps format clean deb install-check warnings windows test-windows windows-package

deps:
	@scripts/install-deps

$(BUILD)/asan/build.ninja: Makefile | deps
	cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug $(DEBUG_INFO) -DVELA_SANITIZE=address -DVELA_WERROR=ON >/dev/null
	@touch $@

$(BUILD)/tsan/build.ninja: Makefile | deps
	cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug $(DEBUG_INFO) -DVELA_SANITIZE=thread -DVELA_WERROR=ON >/dev/null
	@touch $@

# The clang tree: the libFuzzer targets, and the whole tree built once with clang's warnings.
$(BUILD)/fuzz/build.ninja: Makefile | deps
	cmake -S . -B $(BUILD)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELA_SANITIZE=address \
	    -DVELA_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVELA_WERROR=ON >/dev/null
	@touch $@

$(BUILD)/windows/build.ninja: Makefile
	@scripts/install-deps windows
	cmake -S . -B $(BUILD)/windows -G Ninja -DCMAKE_BUILD_TYPE=Debug $(WINDOWS_DEBUG_INFO) \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DVELA_WERROR=ON >/dev/null
	@touch $@

# The optimised Windows tree: the programs of the Windows package.
$(BUILD)/windows-release/build.ninja: Makefile
	@scripts/install-deps windows
	cmake -S . -B $(BUILD)/windows-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DVELA_WERROR=ON >/dev/null
	@touch $@

# The optimised tree: benchmarks, the memcheck session and the Debian package. It is installed
# under /usr, so GNUInstallDirs gives the multiarch library folder.
$(BUILD)/release/build.ninja: Makefile | deps
	cmake -S . -B $(BUILD)/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_INSTALL_PREFIX=/usr -DVELA_WERROR=ON >/dev/null
	@touch $@

unit: $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS)
	cd $(BUILD)/asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# The threaded tests run twice, with twice as many at once as there are cores: a test that
# passes only when the machine is quiet fails here, before it lands.
STRESS_JOBS ?= $(shell echo $$(( $$(nproc) * 2 )))

tsan: $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS) --target vela_threaded_tests
	cd $(BUILD)/tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure \
	    -j $(STRESS_JOBS) --repeat until-fail:2 -L threaded

fuzz: $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target vela_fuzzers
	scripts/run-fuzzers $(BUILD)/fuzz $(FUZZ_SECONDS) $(JOBS)

# One whole host session under valgrind memcheck: no invalid access, no leak. The benchmark
# programs are built here too, so that make bench keeps building.
memcheck: $(BUILD)/release/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target vela-host vela-extcap vela vela_benchmarks
	valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
	    --errors-for-leak-kinds=definite,indirect --error-exitcode=3 \
	    $(BUILD)/release/bin/vela-host run --sim --duration 3 --rate 20 --probes "GSM Mode Reports" >/dev/null

# The layers first: an include against them fails before anything is built.
layers:
	scripts/check-layers

# Each step in turn, with the time it took.
TEST_STEPS := layers format-check unit tsan fuzz memcheck warnings install-check test-windows
test:
	@for step in $(TEST_STEPS); do start=$$(date +%s); $(MAKE) --no-print-directory $$step || exit 1; \
	    echo "make test: $$step took $$(( $$(date +%s) - start )) s"; done

deb: $(BUILD)/release/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target vela-host vela-extcap vela
	cd $(BUILD)/release && cpack -G DEB >/dev/null
	@ls $(BUILD)/release/vela_*.deb

install-check: deb
	scripts/check-install $(BUILD)/release

# No warning from GCC's optimiser nor from clang in everything but the test programs (which the
# sanitizer trees compile with GCC and -Werror).
warnings: $(BUILD)/release/build.ninja $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target vela_programs
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target vela_programs

# The Windows build (mingw-w64) and its tests under Wine.
windows: $(BUILD)/windows/build.ninja
	cmake --build $(BUILD)/windows -j $(JOBS)

# The Windows package: vela-<version>-win64.zip of the optimised tree, and the example host
# that scripts/check-windows-package runs against it.
windows-package: $(BUILD)/windows-release/build.ninja
	cmake --build $(BUILD)/windows-release -j $(JOBS) --target vela-host vela-extcap vela \
	    vela_example_host vela_extcap_pipe
	cd $(BUILD)/windows-release && cpack -G ZIP >/dev/null
	@ls $(BUILD)/windows-release/vela-*-win64.zip

# Then a whole vela-host.exe session under Wine, its capture replayed by the Linux vela-host,
# sessions against the simulated service in a process of its own (vela-mux-sim.exe), and the
# package unpacked and run under a fresh Wine prefix.
test-windows: windows windows-package $(BUILD)/asan/build.ninja
	scripts/run-wine-tests $(BUILD)/windows
	cmake --build $(BUILD)/asan -j $(JOBS) --target vela-host
	scripts/check-windows-session $(BUILD)/windows $(BUILD)/asan
	scripts/check-out-of-process $(BUILD)/windows
	scripts/check-windows-package $(BUILD)/windows-release $(BUILD)/asan

bench: $(BUILD)/release/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target vela vela_benchmarks
	scripts/run-benchmarks $(BUILD)/release

demo: $(BUILD)/release/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS) --target vela-host vela
	mkdir -p out
	$(BUILD)/release/bin/vela-host run --sim --duration 5 --probes "GSM Mode Reports,WCDMA Layer 3 Reports" --record out/demo.pcap
	$(BUILD)/release/bin/vela-host replay out/demo.pcap | head -40

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Every C++ file as .clang-format lays it out (make format rewrites them).
format-check: | deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD)
