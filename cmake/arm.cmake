# The image for the board.
set(ARM_CPU_FLAGS -mcpu=cortex-m4 -mthumb -mfpu=fpv4-sp-d16 -mfloat-abi=hard)
set(ARM_LINKER_SCRIPT ${CMAKE_SOURCE_DIR}/firmware/Libraries/Device/Startup/stm32f405.ld)

# Link-time optimisation over the whole image: calls into the drivers are
# inlined or specialised where they are made, and code and data that nothing
# reaches go. The stack check reads the compiler's stack-usage and call-graph
# output of the link step (<image>.ltrans0.ltrans.su and .ci; one partition,
# so one pair), since the objects hold only intermediate code.
function(firmware_compile_options target)
  target_compile_options(${target} PRIVATE
    ${ARM_CPU_FLAGS} ${FIRMWARE_WARNINGS} ${FIRMWARE_FP_FLAGS}
    -Os -g3 -ffunction-sections -fdata-sections -flto
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit>
    -fstack-usage -fcallgraph-info=su)
  target_include_directories(${target} PRIVATE ${FIRMWARE_INCLUDE_DIRS}
    ${CMAKE_SOURCE_DIR}/firmware/port/cortex_m4)
endfunction()

function(firmware_link_options target map)
  target_link_options(${target} PRIVATE ${ARM_CPU_FLAGS} ${FIRMWARE_WARNINGS}
    -Os -flto -flto-partition=one -fstack-usage -fcallgraph-info=su
    -nostartfiles --specs=nano.specs -T${ARM_LINKER_SCRIPT}
    -Wl,--gc-sections -Wl,-Map=${map} -Wl,--print-memory-usage -Wl,--no-warn-rwx-segments)
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${ARM_LINKER_SCRIPT})
endfunction()

# Size first, except:
# - the angle decoder: its interrupt comes every period of the sensor signal
#   and is a few instructions shorter at -O2 (the control work is not: it is
#   shorter at -Os);
# - the timer set-up, which at -O2 is 8 bytes shorter and its deepest call
#   8 bytes of stack shallower.
set_source_files_properties(
  ${CMAKE_SOURCE_DIR}/firmware/Files/User/angle_decoder.cpp
  ${CMAKE_SOURCE_DIR}/firmware/Files/BSP/timer.cpp
  PROPERTIES COMPILE_OPTIONS -O2)

set(PORT_SOURCES ${CMAKE_SOURCE_DIR}/firmware/port/cortex_m4/port.cpp)

add_executable(firmware.elf ${FIRMWARE_SOURCES} ${PORT_SOURCES})
firmware_compile_options(firmware.elf)
firmware_link_options(firmware.elf ${CMAKE_BINARY_DIR}/firmware.map)
add_custom_command(TARGET firmware.elf POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} -O binary firmware.elf firmware.bin
  COMMAND ${CMAKE_OBJCOPY} -O ihex firmware.elf firmware.hex
  COMMAND ${CMAKE_SIZE} -A -d firmware.elf > firmware.size.txt
  COMMAND ${CMAKE_SIZE} -B -d firmware.elf
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  BYPRODUCTS firmware.bin firmware.hex firmware.size.txt)

include(${CMAKE_SOURCE_DIR}/cmake/arm-extra.cmake OPTIONAL)
