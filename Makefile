# make test: install what is missing, build with warnings as errors, run
# every test; then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, built without the x86-64 kernels as a build
# for any other processor is (the fuzz targets run those kernels under the
# sanitizers); then the tests of threads under ThreadSanitizer; then the
# fuzz targets' saved reproducers and ten seconds of
# fuzzing per target (`make fuzz` runs them for an hour each).
JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
FUZZ_SMOKE_SECONDS ?= 10

.PHONY: all deps build test test-plain test-sanitize test-thread test-fuzz clean demo demo-run fuzz abi-dump

all: build

deps:
	bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DTARSK_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-sanitize test-thread test-fuzz

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
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) build-fuzz
