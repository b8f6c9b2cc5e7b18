# Build helpers shared by every folder.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(QM_BUNDLE_DIR ${CMAKE_BINARY_DIR}/Quenmira.app)
set_property(GLOBAL PROPERTY QM_LIBRARIES "")

# Layering is enforced by the build. There is no include path to the source
# root; a folder's headers are reached only through the include root its
# target publishes: ${QM_INCLUDE_STAGE}/<target>/ holds one symbolic link,
# <folder> -> the source folder (include/platform_ui/platform/ui ->
# platform/ui), so includes stay "platform/ui/Label.h", headers are edited
# where they live, and a file added to the folder is reachable at once.
# A target sees the roots of what it links, and of their PUBLIC dependencies,
# so an include that the declared dependencies do not cover fails to compile.
# The layers (DESIGN.md, Layout), lowest first; a library may use only
# libraries listed before it:
#   platform/foundation, graphics, sdl, system, net, store, security, ui, audio,
#   crash/capture, crash/manager, analytics, framework, social/bridge, app
# Each library names exactly the libraries whose headers it includes: PUBLIC
# where its own headers include them (whoever includes ours needs theirs),
# PRIVATE where only its sources do (a static library still passes those on
# to the link, without their headers). Packages from outside follow the same
# rule: a library or test that includes a package's headers names it. The paths are relative to the build
# folder once ccache's base folder applies, so build folders share its cache.
set(QM_INCLUDE_STAGE ${CMAKE_BINARY_DIR}/include)

# qm_publish_headers(<target> <PUBLIC|PRIVATE|INTERFACE> <folder>): makes the
# headers of <folder> (relative to the source root) reachable as
# "<folder>/Name.h" to the target, and with PUBLIC or INTERFACE to whoever
# links it.
function(qm_publish_headers target scope folder)
  set(root ${QM_INCLUDE_STAGE}/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} ${scope} ${root})
endfunction()

# qm_library(<name> [PUBLIC <targets>...] [PRIVATE <targets>...]): one static
# library from the *.cpp and *.c files of the current folder (main.cpp
# excluded: it belongs to an executable), publishing the folder's headers.
function(qm_library name)
  cmake_parse_arguments(ARG "" "" "PUBLIC;PRIVATE" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qm_library(${name}): dependencies are PUBLIC or PRIVATE: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(NOT sources)
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${stub} "// no sources yet\n")
    set(sources ${stub})
  endif()
  add_library(${name} STATIC ${sources})
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  qm_publish_headers(${name} PUBLIC ${folder})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} Threads::Threads PRIVATE ${ARG_PRIVATE})
  set_property(GLOBAL APPEND PROPERTY QM_LIBRARIES ${name})
endfunction()

# qm_pkg(<var> <modules>...): an imported target for pkg-config modules.
function(qm_pkg var)
  pkg_check_modules(${var} REQUIRED IMPORTED_TARGET ${ARGN})
endfunction()
