# libunwind is the yardstick the stack-walk tests hold our frames against.
pkg_check_modules(LIBUNWIND REQUIRED IMPORTED_TARGET libunwind)
target_link_libraries(${exe} PRIVATE PkgConfig::LIBUNWIND)

# The crash driver: the prepared parent that the crash tests run, which forks
# children that really crash. Built alone, not as part of the test executable.
add_executable(crash_driver ${CMAKE_CURRENT_SOURCE_DIR}/crash/capture/crash_driver.cc)
target_compile_options(crash_driver PRIVATE -fno-omit-frame-pointer)
target_compile_definitions(crash_driver PRIVATE QM_DRIVER_FRONT=1)
target_link_libraries(crash_driver PRIVATE crash_capture)
add_dependencies(${exe} crash_driver)
find_program(QM_PROTOC protoc REQUIRED)
target_compile_definitions(${exe} PRIVATE QM_CRASH_DRIVER="$<TARGET_FILE:crash_driver>" QM_PROTOC="${QM_PROTOC}")
