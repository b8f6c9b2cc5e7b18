// A library without a build-id that the crash driver copies and opens many
// times behind the loader's back: each copy's step calls the next copy's
// through a function of its own (not exported: only the file's own symbols
// name it), and the last one faults, so that a walk goes back through every
// copy.
using chain_step_function = int (*)(int depth, const void* steps);

namespace {
int* volatile nowhere = nullptr;

// steps[depth + 1] is the next copy's step, null past the last.
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] int relay(int depth, const void* steps) {
    const chain_step_function next = static_cast<const chain_step_function*>(steps)[depth + 1];
    volatile int pad[8];
    pad[depth % 8] = depth;
    if (next)
        pad[1] = next(depth + 1, steps);
    else
        *nowhere = pad[0];
    return pad[1] + 1;  // work after the call: no tail call
}
}  // namespace

extern "C" [[gnu::noinline]] int chain_step(int depth, const void* steps) {
    volatile int pad[4];
    pad[depth % 4] = relay(depth, steps);
    return pad[0] + 1;
}
