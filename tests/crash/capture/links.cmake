# libunwind is the yardstick the stack-walk tests hold our frames against.
pkg_check_modules(LIBUNWIND REQUIRED IMPORTED_TARGET libunwind)
target_link_libraries(${exe} PRIVATE PkgConfig::LIBUNWIND)
