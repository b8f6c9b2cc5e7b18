# The end-to-end launch tests start the built application.
add_dependencies(${exe} Quenmira)
