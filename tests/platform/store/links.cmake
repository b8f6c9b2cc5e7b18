# The statement tests prepare statements with SQLite itself.
qm_pkg(TEST_STORE_SQLITE sqlite3)
target_link_libraries(${exe} PRIVATE PkgConfig::TEST_STORE_SQLITE)
