# make test: install what is missing, build with warnings as errors, run
# every test; then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer.
JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_ASAN ?= build-asan

.PHONY: all deps build test test-plain test-sanitize clean demo

all: build

deps:
	bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DTARSK_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-sanitize

test-plain: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-sanitize: deps
	cmake -S . -B $(BUILD_ASAN) -DTARSK_WERROR=ON -DTARSK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ctest --test-dir $(BUILD_ASAN) -j $(JOBS) --output-on-failure

demo:
	@echo "make demo arrives with the tarsk command-line tool; it is not built yet."
	@exit 1

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
