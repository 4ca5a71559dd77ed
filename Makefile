# Two commands do everything on a fresh Debian machine:
#   make run   installs what is missing, builds, runs the firmware on the virtual board
#   make test  the same set-up, then builds both images and runs every test
# and: make firmware (the image for the board), make bench (speed and cycle figures).

BUILD      ?= build
JOBS       ?= $(shell nproc)
RUN_ARGS   ?= --duration 2s --rotor-angle 300 --rotor-speed 120 --press up@500ms --press up@1s --press down@1.5s

HOST_DIR   := $(BUILD)/host
ASAN_DIR   := $(BUILD)/host-asan
ARM_DIR    := $(BUILD)/arm

.PHONY: all deps host host-asan firmware run test bench cycles fuzz clean

all: firmware host

deps:
	@./scripts/install-deps.sh

$(HOST_DIR)/build.ninja:
	cmake -S . -B $(HOST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release

$(ASAN_DIR)/build.ninja:
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON

$(ARM_DIR)/build.ninja:
	cmake -S . -B $(ARM_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-none-eabi.cmake

host: deps $(HOST_DIR)/build.ninja
	cmake --build $(HOST_DIR) -j $(JOBS)

host-asan: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)

firmware: deps $(ARM_DIR)/build.ninja
	cmake --build $(ARM_DIR) -j $(JOBS)

run: host
	$(HOST_DIR)/host/programs/vboard-run $(RUN_ARGS)

test: firmware host-asan
	cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS)
	@if [ -f $(ARM_DIR)/CTestTestfile.cmake ]; then cd $(ARM_DIR) && ctest --output-on-failure; fi

bench: host firmware
	$(HOST_DIR)/host/programs/vboard-bench 60

# Instructions per work item on the emulated Cortex-M4 (not a test).
cycles: firmware
	cmake --build $(ARM_DIR) --target arm_bench.elf
	python3 scripts/cycles.py $(ARM_DIR)/arm_bench.elf

# Each fuzz target for FUZZ_SECONDS, with clang's libFuzzer and sanitizers,
# from its committed corpus (new finds go to build/fuzz/corpus, not the tree).
FUZZ_SECONDS ?= 60
FUZZ_DIR   := $(BUILD)/fuzz
fuzz: deps
	CC=clang CXX=clang++ cmake -S tests/fuzz -B $(FUZZ_DIR) -G Ninja
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@for t in $(FUZZ_DIR)/*_fuzz; do n=$$(basename $$t _fuzz); mkdir -p $(FUZZ_DIR)/corpus/$$n; \
	  $$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(FUZZ_DIR)/corpus/$$n tests/fuzz/corpus/$$n || exit 1; done

clean:
	rm -rf $(BUILD)
