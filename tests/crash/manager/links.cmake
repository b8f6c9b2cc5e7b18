# Frames of a child's backtrace are named through the dynamic symbol table.
set_target_properties(${exe} PROPERTIES ENABLE_EXPORTS ON)
