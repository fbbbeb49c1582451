# Top-level driver over CMake + Ninja. `make test` and `make demo` work as the only
# command on a fresh machine: each installs what is missing and builds first.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_WIN64 ?= build-win64
BUILD_WIN32 ?= build-win32
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja
# The suites whose code runs threads: ThreadSanitizer runs these.
THREADED_TESTS := ^(test_runtime|test_device|test_recording|test_image|test_vdrive)[.]

.PHONY: deps configure build demo test test-asan test-tsan bench gui install screenshot windows windows-x86_64 \
        test-windows clean

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The main job: the sample compilation burnt onto a blank CD-R in the virtual
# recorder, a second session appended that carries the first one's files
# over, then what the disc holds: its summary, its sessions and both trees.
DEMO       := $(BUILD)/demo
DEMO_CLI   := QNZB_VDRIVE=$(DEMO)/vdrive QNZB_INI=$(DEMO)/QNZB.ini QNZB_DRIVES= $(BUILD)/bin/qnzb-cli
demo: build
	rm -rf $(DEMO) && mkdir -p $(DEMO)
	$(DEMO_CLI) vdrive insert cd-r
	$(DEMO_CLI) burn --virtual samples/compilation
	$(DEMO_CLI) burn --virtual --import-session -1 samples/second-session
	$(DEMO_CLI) info --virtual
	$(DEMO_CLI) sessions --virtual
	$(DEMO_CLI) ls --virtual --session 1
	$(DEMO_CLI) ls --virtual --session 2
	$(DEMO_CLI) ls --virtual --session 2 docs

# The desktop program, started from the build.
gui: build
	$(BUILD)/bin/qnzb

# The README's pictures: the main, options and disc information windows
# offscreen, on a blank CD-R in a virtual recorder of its own.
screenshot: build
	$(BUILD)/bin/qnzb-screenshot docs samples/compilation/* -- samples/second-session

# The programs, the virtual recorder's library, the desktop entry and the
# icon under $(PREFIX) (DESTDIR works as usual for staging).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQNZB_SANITIZE=address,undefined -DQNZB_WITH_GUI=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS) -LE nosan

test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQNZB_SANITIZE=thread -DQNZB_WITH_GUI=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD_TSAN) --output-on-failure -j $(JOBS) -R '$(THREADED_TESTS)'

bench: build
	$(BUILD)/bench/bench_layout
	$(BUILD)/bench/bench_vdrive_write

# Our image build against peer tools and the plain copy, on trees of several GiB
# made once under $QNZB_BENCH_DIR (default /tmp/qnzb-bench); long, so not part of `make test`.
.PHONY: bench-iso bench-burn
bench-iso: build
	bench/build-iso-compare.sh --cli $(BUILD)/bin/qnzb-cli

# Burns of the same trees on the virtual recorder in real time at its top CD
# and DVD speeds: rate, underruns, lowest drive buffer fill, on an idle machine
# and beside a spinning process per processor (make bench-iso first, which
# makes the trees).
bench-burn: build
	$(BUILD)/bench/bench_burn_realtime
	$(BUILD)/bench/bench_burn_realtime --busy

# The Windows cross build with MinGW-w64: for x86_64 into $(BUILD_WIN64) the
# command line program, the virtual recorder's WNASPI32.DLL and the test
# programs; for i686 (the original 32-bit target) into $(BUILD_WIN32) the two
# programs alone: there is no 32-bit Wine here to run its tests, so its link is
# what is checked. No desktop program: there is no Qt for MinGW to build it with.
WINDOWS_CMAKE := $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQNZB_WITH_GUI=OFF
windows: windows-x86_64
	cmake -S . -B $(BUILD_WIN32) $(WINDOWS_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
	cmake --build $(BUILD_WIN32) -j $(JOBS) --target qnzb-cli WNASPI32

windows-x86_64: deps
	cmake -S . -B $(BUILD_WIN64) $(WINDOWS_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
	cmake --build $(BUILD_WIN64) -j $(JOBS)

# Wine for the Windows programs: a prefix of its own in the build folder, our
# WNASPI32.DLL rather than Wine's built-in one of that name, no debug output.
# The locale sets Wine's ANSI code page: C.UTF-8 gives 1252.
WINE_ENV := WINEPREFIX=$(abspath $(BUILD_WIN64))/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=wnaspi32=n \
            LC_ALL=C.UTF-8 LANG=C.UTF-8

# The x86_64 test programs under Wine, then the acceptance run: the Windows
# program's images and discs read back by independent readers and by the
# Linux build, and compared with the Linux build's. Both run; either failing fails.
test-windows: windows build
	@test -f $(BUILD_WIN64)/wineprefix/system.reg || { $(WINE_ENV) wineboot -i && $(WINE_ENV) wineserver -w; }
	@# One wineserver throughout (see tests/windows/acceptance.sh), ended at the end.
	@# Wine's services start with its first program and keep that program's
	@# output open: started here, so that CTest doesn't wait on them for ever.
	@rc=0; $(WINE_ENV) wineserver -p 2>/dev/null; $(WINE_ENV) wine cmd /c exit </dev/null >/dev/null 2>&1; \
	$(WINE_ENV) ctest --test-dir $(BUILD_WIN64) --output-on-failure -j $(JOBS) || rc=1; \
	$(WINE_ENV) tests/windows/acceptance.sh $(BUILD_WIN64) $(BUILD) || rc=1; \
	$(WINE_ENV) wineserver -k 2>/dev/null; exit $$rc

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_WIN64) $(BUILD_WIN32)
