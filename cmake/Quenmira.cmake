# Build helpers shared by every folder.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(QM_BUNDLE_DIR ${CMAKE_BINARY_DIR}/Quenmira.app)
set_property(GLOBAL PROPERTY QM_LIBRARIES "")

# qm_library(<name> [DEPS <targets>...]): one static library from the *.cpp
# files of the current folder (main.cpp excluded: it belongs to an executable).
function(qm_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(NOT sources)
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${stub} "// no sources yet\n")
    set(sources ${stub})
  endif()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
  set_property(GLOBAL APPEND PROPERTY QM_LIBRARIES ${name})
endfunction()

# qm_pkg(<var> <modules>...): an imported target for pkg-config modules.
function(qm_pkg var)
  pkg_check_modules(${var} REQUIRED IMPORTED_TARGET ${ARGN})
endfunction()
