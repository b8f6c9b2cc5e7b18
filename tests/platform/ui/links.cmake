# The keyboard test types into the text demo's window.
add_dependencies(${exe} textdemo)
