# libunwind is the yardstick the stack-walk tests hold our frames against.
pkg_check_modules(LIBUNWIND REQUIRED IMPORTED_TARGET libunwind)
target_link_libraries(${exe} PRIVATE PkgConfig::LIBUNWIND)

# The crash driver: the prepared parent that the crash tests run, which forks
# children that really crash. Built alone, not as part of the test executable.
# Its twin names the linker's `_r_debug` itself, as a debugger helper may:
# the program then holds a copy of it that the linker never updates.
set(crash_drivers crash_driver crash_driver_named_r_debug)
foreach(driver ${crash_drivers})
  add_executable(${driver} ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/crash_driver.cc)
  target_compile_options(${driver} PRIVATE -fno-omit-frame-pointer)
  target_compile_definitions(${driver} PRIVATE QM_DRIVER_FRONT=1)
  target_link_libraries(${driver} PRIVATE crash_capture)
  add_dependencies(${exe} ${driver})
endforeach()
target_compile_definitions(crash_driver_named_r_debug PRIVATE QM_DRIVER_NAMES_R_DEBUG=1)
find_program(QM_PROTOC protoc REQUIRED)
target_compile_definitions(${exe} PRIVATE QM_CRASH_DRIVER="$<TARGET_FILE:crash_driver>" QM_PROTOC="${QM_PROTOC}"
                                          QM_CRASH_DRIVER_NAMED_R_DEBUG="$<TARGET_FILE:crash_driver_named_r_debug>")

# The same driver for the platform's own architecture, 64-bit ARM: the crash
# path alone (what needs the platform's objects or the decoder is left out),
# static, run under qemu-aarch64 by the crash tests. Built only where the
# cross compiler and the emulator are installed.
find_program(QM_AARCH64_CXX aarch64-linux-gnu-g++)
find_program(QM_QEMU_AARCH64 qemu-aarch64)
if(QM_AARCH64_CXX AND QM_QEMU_AARCH64)
  file(GLOB_RECURSE arm_candidates CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/crash/capture/*.cpp)
  file(GLOB arm_system CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/system/*.cpp)
  list(APPEND arm_candidates ${arm_system})
  set(arm_sources ${CMAKE_SOURCE_DIR}/platform/foundation/SharedLibrary.cpp ${CMAKE_SOURCE_DIR}/platform/foundation/ThreadStacks.cpp
      ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/crash_driver.cc)
  foreach(src ${arm_candidates})
    file(STRINGS ${src} front REGEX "#include \"(platform/foundation/[A-Za-z]+|[^\"]*pb-c|crash/capture/([a-z]+/)?(PKROVCrashReport|PKROVCrashReporter|ReporterError|PKROVCrashReportTextFormatter))\\.h\"")
    list(FILTER front EXCLUDE REGEX "SharedLibrary|ThreadStacks")
    if(NOT front)
      list(APPEND arm_sources ${src})
    endif()
  endforeach()
  file(GLOB_RECURSE arm_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/crash/capture/*.h)
  file(GLOB arm_system_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/system/*.h)
  list(APPEND arm_headers ${arm_system_headers})
  set(arm_driver ${CMAKE_BINARY_DIR}/tests/aarch64/crash_driver)
  add_custom_command(
    OUTPUT ${arm_driver}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/tests/aarch64
    COMMAND ${QM_AARCH64_CXX} -static -O2 -g -std=c++20 -fno-omit-frame-pointer -pthread
            -I${QM_INCLUDE_STAGE}/crash_capture -I${QM_INCLUDE_STAGE}/platform_system -I${QM_INCLUDE_STAGE}/platform_foundation
            ${arm_sources} -o ${arm_driver}
    DEPENDS ${arm_sources} ${arm_headers}
    COMMENT "crash driver for 64-bit ARM")
  add_custom_target(crash_driver_aarch64 ALL DEPENDS ${arm_driver})
  add_dependencies(${exe} crash_driver_aarch64)
  target_compile_definitions(${exe} PRIVATE QM_CRASH_DRIVER_AARCH64="${arm_driver}" QM_QEMU_AARCH64="${QM_QEMU_AARCH64}")
endif()

# Two builds of one small library: the image tests open, close and replace it
# on disk, and the driver calls into it once it was closed behind the
# loader's back.
foreach(version 1 2)
  add_library(replaceable_library_${version} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/replaceable_library.cc)
  target_compile_definitions(replaceable_library_${version} PRIVATE QM_LIBRARY_VERSION=${version})
  add_dependencies(${exe} replaceable_library_${version})
endforeach()
target_compile_definitions(${exe} PRIVATE QM_REPLACEABLE_LIBRARY_1="$<TARGET_FILE:replaceable_library_1>"
                                          QM_REPLACEABLE_LIBRARY_2="$<TARGET_FILE:replaceable_library_2>")
# A library the driver opens with a plain dlopen once the reporter runs.
add_library(opened_library MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/opened_library.cc)
target_compile_definitions(${exe} PRIVATE QM_OPENED_LIBRARY="$<TARGET_FILE:opened_library>")

# A library that needs another beside it: the driver puts a FIFO in the
# other's place, and a dlopen of the first stays inside the linker.
add_library(stuck_dependency SHARED ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/stuck_library.cc)
target_compile_definitions(stuck_dependency PRIVATE QM_STUCK_DEPENDENCY=1)
add_library(stuck_library MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/stuck_library.cc)
target_link_libraries(stuck_library PRIVATE stuck_dependency)
# Its dependency is looked for beside it, and there only.
set_target_properties(stuck_library PROPERTIES BUILD_WITH_INSTALL_RPATH TRUE INSTALL_RPATH "$ORIGIN")
target_link_options(stuck_library PRIVATE "LINKER:--no-as-needed")

# A library whose build-id note lies past the first 512 bytes of its notes.
add_library(big_note_library MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/big_note_library.cc)
target_link_options(big_note_library PRIVATE -Wl,--build-id=none)
target_compile_definitions(${exe} PRIVATE QM_BIG_NOTE_LIBRARY="$<TARGET_FILE:big_note_library>")
add_dependencies(${exe} big_note_library)

# One library built four ways, which the driver opens before the reporter
# hears of it or behind its back: plain, without .eh_frame_hdr, with its
# first segment linked at an address of its own, and without section headers.
set(crash_time_variants plain no_eh_frame_hdr text_segment no_section_headers)
set(crash_time_link_plain "")
set(crash_time_link_no_eh_frame_hdr -Wl,--no-eh-frame-hdr)
set(crash_time_link_text_segment -Wl,-Ttext-segment=0x30000000)
set(crash_time_link_no_section_headers "")
foreach(variant ${crash_time_variants})
  add_library(crash_time_library_${variant} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/crash_time_library.cc)
  target_link_options(crash_time_library_${variant} PRIVATE ${crash_time_link_${variant}})
  string(TOUPPER ${variant} upper)
  foreach(driver ${crash_drivers})
    target_compile_definitions(${driver} PRIVATE
      QM_CRASH_TIME_LIBRARY_${upper}="$<TARGET_FILE:crash_time_library_${variant}>")
    add_dependencies(${driver} crash_time_library_${variant})
  endforeach()
endforeach()
# Its section headers taken out, as some strippers leave a library: their
# offset in the ELF header (8 bytes at 0x28), their count and the index of
# their names (2 bytes each at 0x3c) set to zero.
target_compile_definitions(crash_time_library_no_section_headers PRIVATE QM_EXPORT_CRASH_HERE=1)
set(no_section_headers_file $<TARGET_FILE:crash_time_library_no_section_headers>)
add_custom_command(TARGET crash_time_library_no_section_headers POST_BUILD
                   COMMAND dd if=/dev/zero of=${no_section_headers_file} bs=1 seek=40 count=8 conv=notrunc status=none
                   COMMAND dd if=/dev/zero of=${no_section_headers_file} bs=1 seek=60 count=4 conv=notrunc status=none
                   VERBATIM)

# One library without a build-id that the driver copies and opens many
# times, each copy calling into the next.
add_library(chain_library MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/chain_library.cc)
target_link_options(chain_library PRIVATE -Wl,--build-id=none)

# Two builds of a library without a build-id, alike but for names and one
# frame: the driver replaces one with the other in place.
foreach(variant 1 2)
  add_library(anonymous_library_${variant} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/anonymous_library.cc)
  target_compile_definitions(anonymous_library_${variant} PRIVATE QM_LIBRARY_VARIANT=${variant})
  target_link_options(anonymous_library_${variant} PRIVATE -Wl,--build-id=none)
  # No debug information, whose size would set the two files' headers apart.
  target_compile_options(anonymous_library_${variant} PRIVATE -g0)
  # Its frame on the stack, not in the red zone: the builds' rules differ.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    target_compile_options(anonymous_library_${variant} PRIVATE -mno-red-zone)
  endif()
endforeach()

# A library with a 4 TiB hole between its segments.
add_library(vast_library MODULE ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/vast_library.cc)
target_link_options(vast_library PRIVATE -Wl,--section-start=.vast_far=0x40000000000)

foreach(driver ${crash_drivers})
  target_compile_definitions(${driver} PRIVATE
    QM_REPLACEABLE_LIBRARY="$<TARGET_FILE:replaceable_library_1>"
    QM_REPLACEABLE_LIBRARY_2="$<TARGET_FILE:replaceable_library_2>"
    QM_OPENED_LIBRARY="$<TARGET_FILE:opened_library>"
    QM_STUCK_LIBRARY="$<TARGET_FILE:stuck_library>"
    QM_STUCK_DEPENDENCY_NAME="$<TARGET_FILE_NAME:stuck_dependency>"
    QM_ANONYMOUS_LIBRARY_1="$<TARGET_FILE:anonymous_library_1>"
    QM_ANONYMOUS_LIBRARY_2="$<TARGET_FILE:anonymous_library_2>"
    QM_CHAIN_LIBRARY="$<TARGET_FILE:chain_library>"
    QM_VAST_LIBRARY="$<TARGET_FILE:vast_library>")
  add_dependencies(${driver} replaceable_library_1 replaceable_library_2 opened_library stuck_library
                   anonymous_library_1 anonymous_library_2 chain_library vast_library)
endforeach()
