// Two small libraries, one needing the other: the driver opens the first
// where the second's file is a FIFO, so that the dlopen never ends.
#if QM_STUCK_DEPENDENCY
extern "C" int stuck_dependency_value() { return 7; }
#else
extern "C" int stuck_dependency_value();
extern "C" int stuck_library_value() { return stuck_dependency_value() + 1; }
#endif
