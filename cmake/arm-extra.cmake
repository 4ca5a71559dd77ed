# Proof of the board image: test images run on QEMU's STM32F405 machine,
# stack and size budgets checked after every link of firmware.elf, and a
# cycle benchmark.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The budget check reads the image with pyelftools (python3-pyelftools),
# which Debian installs for its own interpreter; a python3 placed earlier on
# the PATH may not see it.
set(BUDGET_PYTHON ${Python3_EXECUTABLE})
execute_process(COMMAND ${BUDGET_PYTHON} -c "import elftools" RESULT_VARIABLE elftools_missing
  OUTPUT_QUIET ERROR_QUIET)
if(elftools_missing)
  set(BUDGET_PYTHON /usr/bin/python3)
  execute_process(COMMAND ${BUDGET_PYTHON} -c "import elftools" RESULT_VARIABLE elftools_missing
    OUTPUT_QUIET ERROR_QUIET)
  if(elftools_missing)
    message(FATAL_ERROR "the budget check needs pyelftools: apt-get install python3-pyelftools")
  endif()
endif()

# ---------------------------------------------------------------------------
# Budgets: the stack figure from the compiler's own stack-usage and call-graph
# output, flash and static RAM from the linked image. Either passed fails the
# build (the image is removed so that the next build checks again).
set(STACK_BUDGET 512)
set(FLASH_BUDGET 16384)
set(STATIC_RAM_BUDGET 1024)

add_custom_command(TARGET firmware.elf POST_BUILD
  COMMAND ${BUDGET_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/budget_check.py
    --elf $<TARGET_FILE:firmware.elf> --objdump ${CMAKE_OBJDUMP}
    --stack-budget ${STACK_BUDGET} --flash-budget ${FLASH_BUDGET} --ram-budget ${STATIC_RAM_BUDGET}
    --report ${CMAKE_BINARY_DIR}/firmware.budget.txt
    ${CMAKE_BINARY_DIR}/firmware.elf.ltrans0.ltrans.ci
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  BYPRODUCTS ${CMAKE_BINARY_DIR}/firmware.budget.txt
  COMMAND_EXPAND_LISTS
  VERBATIM)

# ---------------------------------------------------------------------------
# Test and bench images: the firmware's sources without its main, linked
# with a runner that has its own main and reports through semihosting. The
# firmware's reset entry and vector table start them.
set(ARM_TEST_FIRMWARE_SOURCES ${FIRMWARE_SOURCES})
list(FILTER ARM_TEST_FIRMWARE_SOURCES EXCLUDE REGEX "/firmware/Files/User/main\\.cpp$")
add_library(firmware_arm_objects OBJECT ${ARM_TEST_FIRMWARE_SOURCES} ${PORT_SOURCES})
firmware_compile_options(firmware_arm_objects)

set(ARM_TEST_DIR ${CMAKE_SOURCE_DIR}/tests/arm)
set(ARM_TEST_COMMON ${ARM_TEST_DIR}/semihost.cpp ${ARM_TEST_DIR}/report.cpp)

function(arm_test_image name)
  add_executable(${name} ${ARGN} ${ARM_TEST_COMMON} $<TARGET_OBJECTS:firmware_arm_objects>)
  firmware_compile_options(${name})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${ARM_TEST_DIR})
  firmware_link_options(${name} ${CMAKE_BINARY_DIR}/${name}.map)
endfunction()

# The vector image runs its own checks and the cases shared with the host
# tests, the same sources compiled against the semihosting report.
file(GLOB ARM_VECTOR_CHECKS CONFIGURE_DEPENDS ${ARM_TEST_DIR}/*_checks.cpp)
file(GLOB SHARED_TEST_CASES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/shared/*.cpp)
arm_test_image(arm_vectors.elf ${ARM_TEST_DIR}/vectors_main.cpp ${ARM_VECTOR_CHECKS} ${SHARED_TEST_CASES}
  ${ARM_TEST_DIR}/test_case.cpp ${ARM_TEST_DIR}/board_access.cpp)
arm_test_image(arm_selfcheck.elf ${ARM_TEST_DIR}/selfcheck_main.cpp ${ARM_TEST_DIR}/test_case.cpp)

# The cycle bench (`make cycles`, not a test). The scheduler tick's status
# query is wrapped so that the tick takes its flagged path on the emulator,
# which has no TIM6.
# Built on demand only (`make cycles` names it), not by `make test`.
arm_test_image(arm_bench.elf ${ARM_TEST_DIR}/bench_main.cpp)
set_target_properties(arm_bench.elf PROPERTIES EXCLUDE_FROM_ALL ON)
target_link_options(arm_bench.elf PRIVATE -Wl,--wrap=_Z15TIM_GetITStatusP11TIM_TypeDeft)

# ---------------------------------------------------------------------------
# Tests, run by `make test` after the host tests.
enable_testing()
set(QEMU_RUN ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/qemu_semihost.py)

# The runner proves it catches a difference: a deliberate mismatch is
# printed with its case and both bit patterns, and the status is 1.
add_test(NAME arm_runner_selfcheck
  COMMAND ${QEMU_RUN} --timeout 20 --expect-exit 1
    --expect-line "^MISMATCH selfcheck case 3 \\[one ulp\\] float: got 0x3f800000 want 0x3f800001$"
    --expect-line "^MISMATCH selfcheck case 4 \\[signed zero\\] double: got 0x8000000000000000 want 0x0000000000000000$"
    --expect-line "^MISMATCH selfcheck case 5 int16: got 0x9c40 want 0x9c41$"
    --expect-line "^MISMATCH selfcheck case 6 \\[frame\\] bytes byte 1: got 0xaf want 0xaa$"
    --expect-line "^FAILED   selfcheck: 5 checks, 4 mismatches$"
    --expect-line "^MISMATCH Selfcheck.Macros case 7 \\[traced\\] std::int32_t\\{-2\\}: got 0xfffffffe want 0x00000003$"
    --expect-line "^MISMATCH Selfcheck.Macros case 7 \\[traced\\] 1.0f: got 0x3f800000 want 0x3f800001$"
    --expect-line "^MISMATCH Selfcheck.Macros case 7 \\[traced\\] false: got 0x00 want 0x01$"
    --expect-line "^FAILED   Selfcheck.Macros: 3 checks, 3 mismatches$"
    --expect-line "^selfcheck: 3 groups, 9 checks, 7 mismatches$"
    $<TARGET_FILE:arm_selfcheck.elf>)

add_test(NAME arm_vectors COMMAND ${QEMU_RUN} --timeout 30 --wire $<TARGET_FILE:arm_vectors.elf>)

# The image itself boots on the emulator and reaches the main loop with the
# start-up state in place (checked over QEMU's gdb stub).
add_test(NAME arm_boot
  COMMAND gdb-multiarch -batch -nx -x ${ARM_TEST_DIR}/boot_check.py $<TARGET_FILE:firmware.elf>)
# The budget check itself, on crafted instructions and tiny images built
# with the cross toolchain.
add_test(NAME budget_check
  COMMAND ${BUDGET_PYTHON} -m unittest -v budget_check_test
  WORKING_DIRECTORY ${ARM_TEST_DIR})
set_tests_properties(budget_check PROPERTIES
  ENVIRONMENT "CC=${CMAKE_C_COMPILER};OBJDUMP=${CMAKE_OBJDUMP};PYTHONDONTWRITEBYTECODE=1")

set_tests_properties(arm_runner_selfcheck arm_vectors arm_boot budget_check PROPERTIES TIMEOUT 60 LABELS arm)
