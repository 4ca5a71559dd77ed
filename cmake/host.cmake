# The host build: the same firmware sources on the virtual board, the
# programs around it and the tests.
option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

set(SANITIZER_FLAGS)
if(SANITIZE)
  # float-cast-overflow is not in GCC's undefined group: a float converted to
  # an integer it does not fit is checked too.
  set(SANITIZER_FLAGS -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${SANITIZER_FLAGS})
  add_link_options(${SANITIZER_FLAGS})
endif()

find_package(Threads REQUIRED)
# The firmware's context on the virtual board switches stacks with boost.context.
find_package(Boost 1.74 REQUIRED COMPONENTS context)

# What `make test` builds: the test programs and the programs the tests run,
# nothing else (each test directory adds what it needs).
add_custom_target(test-build)

# Test sources are compiled without optimisation: they are mostly gtest
# macros, whose code the optimiser spends long on for no gain; the firmware
# and the board they drive keep their flags.
set(TEST_COMPILE_OPTIONS -O0)

# The programs and their libraries are built in the sanitizer tree only to be
# run by the tests, on a few arguments or a short stream: there, compiling
# them fast (CLI11 and toml++ make heavy translation units) matters more than
# their speed. The Release tree keeps its optimised programs.
set(TOOL_COMPILE_OPTIONS)
if(SANITIZE)
  set(TOOL_COMPILE_OPTIONS -O0)
endif()

# The firmware's static memory is gathered into one section of the host
# program, so that the virtual board can put every global back to its
# initial value at each reset, as the start-up code does on the board.
set(HOST_FIRMWARE_SECTIONS ${CMAKE_SOURCE_DIR}/host/port/firmware_sections.ld)

# The host port: the mirrored address spaces and the seam through which the
# firmware reaches whatever serves its accesses (the virtual board installs
# itself there). The firmware depends on the port, the board on both: no
# library depends on the board's.
add_library(host_port STATIC ${CMAKE_SOURCE_DIR}/host/port/port.cpp)
target_include_directories(host_port PUBLIC ${CMAKE_SOURCE_DIR}/host/port ${CMAKE_SOURCE_DIR}/firmware/Libraries/Device)
target_compile_options(host_port PRIVATE -Wall -Wextra -Werror)

add_library(firmware_host STATIC ${FIRMWARE_SOURCES})
target_include_directories(firmware_host PUBLIC ${FIRMWARE_INCLUDE_DIRS})
target_link_libraries(firmware_host PUBLIC host_port)
target_compile_options(firmware_host PRIVATE ${FIRMWARE_WARNINGS} ${FIRMWARE_FP_FLAGS})
# The firmware's entry is called by the reset entry, not by the host's C runtime.
target_compile_definitions(firmware_host PRIVATE main=firmware_main)
if(SANITIZE)
  # Globals keep their exact layout (no red zones) so that the reset image is
  # the firmware's data and nothing else.
  target_compile_options(firmware_host PRIVATE --param=asan-globals=0)
endif()
set_target_properties(firmware_host PROPERTIES OUTPUT_NAME firmware_host)

# The virtual board: a library a folder (host/vboard/CMakeLists.txt).
add_subdirectory(host/vboard)

# Host libraries shared by the programs and the tests.
file(GLOB HOSTLIB_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/lib/*.cpp)
if(HOSTLIB_SOURCES)
  add_library(hostlib STATIC ${HOSTLIB_SOURCES})
  target_include_directories(hostlib PUBLIC ${CMAKE_SOURCE_DIR}/host/lib)
  target_compile_options(hostlib PRIVATE -Wall -Wextra -Werror)
endif()

# What watches the firmware from outside (its globals, through the board's
# observation points): used by the programs and the tests, not by the board.
add_library(observe STATIC ${CMAKE_SOURCE_DIR}/host/observe/work_monitor.cpp ${CMAKE_SOURCE_DIR}/host/observe/gain_writer.cpp
            ${CMAKE_SOURCE_DIR}/host/observe/setpoint_writer.cpp
            ${CMAKE_SOURCE_DIR}/host/observe/soak.cpp ${CMAKE_SOURCE_DIR}/host/observe/line_breaks.cpp)
target_include_directories(observe PUBLIC ${CMAKE_SOURCE_DIR}/host/observe)
target_include_directories(observe PRIVATE ${FIRMWARE_INCLUDE_DIRS})
target_link_libraries(observe PUBLIC vboard hostlib)
target_compile_options(observe PRIVATE -Wall -Wextra -Werror)

# The loop's analysis in the frequency domain (sine-dwell bins, PID response,
# margins, closed-loop figures, limit cycle, the motor's plant worked out by
# hand): plain numbers in, nothing of the board.
file(GLOB ANALYSIS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/analysis/*.cpp)
add_library(analysis STATIC ${ANALYSIS_SOURCES})
target_include_directories(analysis PUBLIC ${CMAKE_SOURCE_DIR}/host/analysis)
target_compile_options(analysis PRIVATE -Wall -Wextra -Werror)

# Value Change Dumps of the board's pins and the serial waveforms drawn from
# byte and frame events: plain times in, nothing of the board.
file(GLOB TRACE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/trace/*.cpp)
add_library(trace STATIC ${TRACE_SOURCES})
target_include_directories(trace PUBLIC ${CMAKE_SOURCE_DIR}/host/trace)
target_link_libraries(trace PRIVATE hostlib)
target_compile_options(trace PRIVATE -Wall -Wextra -Werror)

add_subdirectory(host/lib/station)
add_subdirectory(host/run)
add_subdirectory(host/tune)
add_subdirectory(host/programs)

enable_testing()
include(cmake/test_programs.cmake)
add_subdirectory(tests/host)
add_subdirectory(tests/station)
add_subdirectory(tests/run)
add_subdirectory(tests/analysis)
add_subdirectory(tests/trace)
add_subdirectory(tests/tune)
add_subdirectory(tests/fuzz)
if(SANITIZE)
  add_subdirectory(tests/lint)
endif()
