# The window test starts the built application.
add_dependencies(${exe} Quenmira)
