# Two commands do everything on a fresh Debian machine:
#   make run   installs what is missing, builds every user program (the target
#              `programs`), runs the default scenario on the virtual board and
#              writes out/run.csv, out/run.png
#   make test  the same set-up, then builds both images and runs every test
#              but the static analysis (make lint; CI runs both: .ci/run)
# and: make programs (vboard-run, vboard-tune, groundstation, vboard-bench,
# vboard-soak and motor-bench in build/host, without the tests), make firmware (the image for
# the board), make flash (the image onto the board with OpenOCD and an
# ST-LINK), make debug (OpenOCD's gdb server and gdb-multiarch on the image),
# make bench (speed of the virtual board), make loop-margins (the firmware's own
# gains' margins on every motor preset, measured), make cycles (instructions per work
# item on the emulated Cortex-M4), make lint (clang-tidy and cppcheck over
# LINT_PATHS, results kept for the next run: in LINT_CACHE_DIR when set),
# make fuzz (each fuzz target for FUZZ_SECONDS), make soak HOURS=24 (the
# seeded soak of the suite for hours of virtual time, with its figures), make
# line-breaks (the seeded trials of sensor line breaks at full size, open and
# closed loop), make readme-figures (the default run's output into README.md
# and its picture into docs/default-run.png).

BUILD      ?= build
JOBS       ?= $(shell nproc)
OUT        ?= out
RUN_ARGS   ?= --scenario scenarios/default.toml --csv $(OUT)/run.csv --plot $(OUT)/run.png
OPENOCD    ?= openocd -f interface/stlink.cfg -f target/stm32f4x.cfg

HOST_DIR   := $(BUILD)/host
ASAN_DIR   := $(BUILD)/host-asan
ARM_DIR    := $(BUILD)/arm

# Static analysis covers these sources and the headers under them (the lint
# test of the sanitizer tree, `ctest -L lint`, covers the same: tests/lint).
LINT_PATHS ?= firmware host

.PHONY: all deps host host-asan firmware programs run test-build test lint bench cycles flash debug fuzz soak line-breaks readme-figures loop-margins clean

all: firmware host

deps:
	@./scripts/install-deps.sh

$(HOST_DIR)/build.ninja:
	cmake -S . -B $(HOST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release

$(ASAN_DIR)/build.ninja:
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON -DLINT_ARM_DIR=$(abspath $(ARM_DIR))

$(ARM_DIR)/build.ninja:
	cmake -S . -B $(ARM_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-none-eabi.cmake

host: deps $(HOST_DIR)/build.ninja
	cmake --build $(HOST_DIR) -j $(JOBS)

host-asan: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS)

firmware: deps $(ARM_DIR)/build.ninja
	cmake --build $(ARM_DIR) -j $(JOBS)

# The programs a user runs, in the Release tree, without the tests.
PROGRAMS   := vboard-run vboard-tune groundstation vboard-bench vboard-soak vboard-line-breaks motor-bench
programs: deps $(HOST_DIR)/build.ninja
	cmake --build $(HOST_DIR) -j $(JOBS) --target $(PROGRAMS)

run: programs
	@mkdir -p $(OUT)
	$(HOST_DIR)/host/programs/vboard-run $(RUN_ARGS)

# The sanitizer tree builds only what the tests run.
test-build: deps $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS) --target test-build

# Every test but the static analysis (label lint), which is `make lint`.
# CTEST_ARGS picks tests, e.g. CTEST_ARGS="-R Scenario".
CTEST_ARGS ?=
test: firmware test-build
	cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS) -LE lint $(CTEST_ARGS)
	@if [ -f $(ARM_DIR)/CTestTestfile.cmake ]; then cd $(ARM_DIR) && ctest --output-on-failure -j $(JOBS); fi

# Only the compile commands of the sanitizer build are needed, not its objects;
# the firmware is also read with the board's flags when build/arm is configured.
lint: deps $(ASAN_DIR)/build.ninja
	python3 scripts/lint.py $(ASAN_DIR) $(LINT_PATHS) --arm $(ARM_DIR) --jobs $(JOBS)

bench: programs firmware
	$(HOST_DIR)/host/programs/vboard-bench 60s

# The seeded soak for HOURS of virtual time (SEED chooses the plan).
HOURS      ?= 24
SEED       ?= 1
soak: deps $(HOST_DIR)/build.ninja
	cmake --build $(HOST_DIR) -j $(JOBS) --target vboard-soak
	$(HOST_DIR)/host/programs/vboard-soak --hours $(HOURS) --seed $(SEED)

# Breaks of the sensor's PWM line of 50 us to 1.5 ms: 60 000 against the
# capture timer and the decoder, and five closed-loop runs of 120 s with
# dropouts of 50 us to 1 ms at up to 100 a second (SEED chooses them).
line-breaks: deps $(HOST_DIR)/build.ninja
	cmake --build $(HOST_DIR) -j $(JOBS) --target vboard-line-breaks
	$(HOST_DIR)/host/programs/vboard-line-breaks --breaks 60000 --closed-runs 5 --closed-seconds 120 --seed $(SEED)

# The firmware's own gains' loop on every motor preset: margins, verdict, the
# hand-derived plant's margins and the ring a step leaves (vboard-run --bode).
MOTOR_PRESETS := gimbal gimbal-heavy gimbal-2204 gimbal-2204-camera gimbal-5208 gimbal-5208-camera
loop-margins: programs
	@for m in $(MOTOR_PRESETS); do echo "== --motor $$m"; \
	  $(HOST_DIR)/host/programs/vboard-run -q --bode --no-describing --motor $$m | \
	    grep -E '^  (phase margin|gain margin|lower gain margin|verdict|on the hand-derived|a run of|T = )'; done

# Instructions per work item on the emulated Cortex-M4 (not a test).
cycles: firmware
	cmake --build $(ARM_DIR) --target arm_bench.elf
	python3 scripts/cycles.py $(ARM_DIR)/arm_bench.elf

# The image onto the board through an ST-LINK.
flash: firmware
	$(OPENOCD) -c "program $(ARM_DIR)/firmware.elf verify reset exit"

# OpenOCD's gdb server in the background, gdb-multiarch on the image in front;
# the server ends with the gdb session.
debug: firmware
	@$(OPENOCD) > $(BUILD)/openocd.log 2>&1 & pid=$$!; sleep 1; \
	  gdb-multiarch -q $(ARM_DIR)/firmware.elf -ex "target extended-remote :3333" -ex "monitor reset halt"; \
	  kill $$pid

# Each fuzz target for FUZZ_SECONDS, with clang's libFuzzer and sanitizers,
# from its committed corpus (new finds go to build/fuzz/corpus, not the tree).
FUZZ_SECONDS ?= 60
FUZZ_DIR   := $(BUILD)/fuzz
fuzz: deps
	CC=clang CXX=clang++ cmake -S tests/fuzz -B $(FUZZ_DIR) -G Ninja
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@for t in $(FUZZ_DIR)/*_fuzz; do n=$$(basename $$t _fuzz); mkdir -p $(FUZZ_DIR)/corpus/$$n; \
	  $$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(FUZZ_DIR)/corpus/$$n tests/fuzz/corpus/$$n || exit 1; done

# The default run's output into README.md and its picture into
# docs/default-run.png (the test readme_default_run checks the first).
readme-figures: programs
	./scripts/refresh-readme.sh $(HOST_DIR)/host/programs/vboard-run

clean:
	rm -rf $(BUILD)
