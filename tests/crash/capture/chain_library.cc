// A library without a build-id that the crash driver copies and opens many
// times behind the loader's back: each copy's step calls the next copy's,
// and the last one faults, so that a walk goes back through every copy.
namespace {
int* volatile nowhere = nullptr;
}

using chain_step_function = int (*)(int depth, const void* steps);

// steps[depth + 1] is the next copy's step, null past the last.
extern "C" [[gnu::noinline, gnu::no_sanitize("undefined", "address")]] int chain_step(int depth, const void* steps) {
    const chain_step_function next = static_cast<const chain_step_function*>(steps)[depth + 1];
    volatile int pad[8];
    pad[depth % 8] = depth;
    if (next)
        pad[1] = next(depth + 1, steps);
    else
        *nowhere = pad[0];
    return pad[1] + 1;  // work after the call: no tail call
}
