# make test: install what is missing, build with warnings as errors, run
# every test; then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, built without the x86-64 kernels as a build
# for any other processor is (the fuzz targets run those kernels under the
# sanitizers); then the tests of threads under ThreadSanitizer; then the
# fuzz targets' saved reproducers and ten seconds of fuzzing per target
# (`make fuzz` runs them for an hour each); then the library and its own
# tests built with Debian's cross compilers for 64-bit Arm and for
# big-endian s390x and run under qemu's user-mode emulator
# (`make test-cross`, `make test-cross-s390x`).
JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_CROSS ?= build-cross
BUILD_CROSS_S390X ?= build-cross-s390x
FUZZ_SMOKE_SECONDS ?= 10

.PHONY: all deps build test test-plain test-sanitize test-thread test-fuzz test-cross test-cross-s390x clean demo demo-run fuzz abi-dump

all: build

deps:
	bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DTARSK_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-sanitize test-thread test-fuzz test-cross test-cross-s390x

test-plain: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-sanitize: deps
	cmake -S . -B $(BUILD_ASAN) -DTARSK_WERROR=ON -DTARSK_SANITIZE=ON -DTARSK_FAST_KERNELS=OFF \
	  -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ctest --test-dir $(BUILD_ASAN) -j $(JOBS) --output-on-failure

# make test-thread: what runs threads, under ThreadSanitizer: test_threads
# (the decoding service, contexts handed between threads, frame threads)
# and test_api's tests of threads inside a picture, frame threads and
# messages from worker threads. Only those two programs and the library are
# built; the first race reported stops the run.
TSAN_TESTS = ^test_threads\.|^test_api\.(CApi\.(StridesAndThreadsChangeNoByte|MessagesGoToTheContextsCallback)|FrameThreads\.InOrderAndBitIdentical|Encoder\.ThreadsMakeTheFramesOfOne)$$

test-thread: deps
	cmake -S . -B $(BUILD_TSAN) -DTARSK_WERROR=ON -DTARSK_TSAN=ON -DTARSK_FAST_KERNELS=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target test_threads test_api
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir $(BUILD_TSAN) -j $(JOBS) --output-on-failure -R '$(TSAN_TESTS)'

test-fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS) bash scripts/fuzz.sh smoke

# The library and its tests (not the tool's) for aarch64 with the plain
# kernels, run under qemu-aarch64; scripts/deps-cross.sh installs the cross
# compiler, qemu-user and the target's popt and GoogleTest (multiarch). The
# tests that need ffmpeg run the build machine's own ffmpeg. Left out: the
# one death test that re-executes its own program, which the kernel here
# cannot run without the emulator (no binfmt_misc registration).
test-cross: deps
	bash scripts/deps-cross.sh arm64
	cmake -S . -B $(BUILD_CROSS) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DTARSK_WERROR=ON -DTARSK_BUILD_TOOL=OFF
	cmake --build $(BUILD_CROSS) -j $(JOBS)
	ctest --test-dir $(BUILD_CROSS) -j $(JOBS) --output-on-failure \
	  -E '^test_api\.CApi\.ContextsLeaveDvhsWriterChoiceAlone$$'

# The same for s390x under qemu-s390x: a big-endian processor, where code
# that takes the bytes of the stream or of its sound in the processor's own
# order breaks. Its popt is unpacked and GoogleTest built in
# $(BUILD_CROSS_S390X)/root, since multiarch needs the target's packages at
# the build machine's very versions, which s390x's do not always have.
test-cross-s390x: deps
	bash scripts/deps-cross.sh s390x $(BUILD_CROSS_S390X)/root
	cmake -S . -B $(BUILD_CROSS_S390X) -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake \
	  -DTARSK_CROSS_ROOT=$(abspath $(BUILD_CROSS_S390X))/root -DTARSK_WERROR=ON -DTARSK_BUILD_TOOL=OFF
	cmake --build $(BUILD_CROSS_S390X) -j $(JOBS)
	ctest --test-dir $(BUILD_CROSS_S390X) -j $(JOBS) --output-on-failure \
	  -E '^test_api\.CApi\.ContextsLeaveDvhsWriterChoiceAlone$$'

# make demo: a two-second PAL clip of tarsk's own moving colour bars, tone
# and counting time code (nothing but the build needed), described by
# `tarsk info` and decoded to a picture of its first frame and a WAV file.
DEMO ?= $(BUILD)/demo
TARSK ?= $(BUILD)/tools/tarsk/tarsk

# Only the library and the tool: no test or benchmark is built for it.
demo: deps
	cmake -S . -B $(BUILD) -DTARSK_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS) --target tarsk_tool
	@$(MAKE) --no-print-directory demo-run

# The demo's steps alone, on a tarsk already built (the tests run them with
# no ffmpeg on the PATH).
demo-run:
	@mkdir -p $(DEMO)
	$(TARSK) encode --test-pattern bars --duration 2 --timecode 10:00:00:00 --quiet -y \
	  -o $(DEMO)/demo.dv
	$(TARSK) info $(DEMO)/demo.dv
	$(TARSK) decode $(DEMO)/demo.dv --frames 0 --quiet -y -o $(DEMO)/first.png
	$(TARSK) decode $(DEMO)/demo.dv --quiet -y --audio $(DEMO)/demo.wav
	@echo
	@echo "The clip:          $(DEMO)/demo.dv"
	@echo "Its first picture: $(DEMO)/first.png"
	@echo "Its sound:         $(DEMO)/demo.wav"

# make abi-dump: records the built library's ABI as a release's, in
# abi/tarsk-VERSION.abi, for the ABI test to hold later builds to (run it on
# the commit a release tag names).
abi-dump: build
	abidw --headers-dir include/tarsk --drop-private-types --no-corpus-path --no-comp-dir-path \
	  --out-file abi/tarsk-$$(sed -n 's/^Version: //p' $(BUILD)/tarsk.pc).abi $(BUILD)/libtarsk.so

# make fuzz: the libFuzzer targets of fuzz/ (see fuzz/README.md), an hour
# each unless FUZZ_SECONDS says otherwise.
fuzz: deps
	bash scripts/fuzz.sh long

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_CROSS) $(BUILD_CROSS_S390X) build-fuzz
