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

.PHONY: deps configure build demo test test-asan test-tsan bench gui install screenshot windows clean

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
# and DVD speeds: rate, underruns, lowest drive buffer fill (make bench-iso
# first, which makes the trees).
bench-burn: build
	$(BUILD)/bench/bench_burn_realtime

# The Windows cross build with MinGW-w64: the command line program, the
# virtual recorder's WNASPI32.DLL and the test programs, for x86_64 into
# $(BUILD_WIN64) and for i686 (the original 32-bit target) into $(BUILD_WIN32).
# No desktop program: there is no Qt for MinGW to build it with here.
WINDOWS_CMAKE := $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQNZB_WITH_GUI=OFF
windows: deps
	cmake -S . -B $(BUILD_WIN64) $(WINDOWS_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
	cmake --build $(BUILD_WIN64) -j $(JOBS)
	cmake -S . -B $(BUILD_WIN32) $(WINDOWS_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
	cmake --build $(BUILD_WIN32) -j $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_WIN64) $(BUILD_WIN32)
