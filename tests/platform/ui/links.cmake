# The keyboard test types into the text demo's window.
add_dependencies(${exe} textdemo)
# Tests read the composed pixels through Cairo.
qm_pkg(TEST_UI_CAIRO cairo)
target_link_libraries(${exe} PRIVATE PkgConfig::TEST_UI_CAIRO)
