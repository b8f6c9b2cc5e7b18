# The window test starts the built application.
add_dependencies(${exe} Quenmira)
# The More-apps tests draw their icons with Cairo.
qm_pkg(TEST_FRAMEWORK_CAIRO cairo)
target_link_libraries(${exe} PRIVATE PkgConfig::TEST_FRAMEWORK_CAIRO)
