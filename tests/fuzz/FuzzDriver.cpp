// Runs a fuzz target without libFuzzer: every file of the seed corpus, then
// deterministic mutations of each (truncations, bit flips, byte overwrites),
// so the corpora serve as regression tests in the ordinary build.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/PrivateHome.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes* gCurrent = nullptr;

// A failing input is saved beside the run, as libFuzzer would, to be replayed.
void saveCurrent(int sig) {
    if (gCurrent) {
        if (FILE* f = std::fopen("fuzz-driver-failure", "wb")) {
            std::fwrite(gCurrent->data(), 1, gCurrent->size(), f);
            std::fclose(f);
            std::fprintf(stderr, "failing input (%zu bytes) saved as fuzz-driver-failure\n", gCurrent->size());
        }
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void run(const Bytes& b) {
    gCurrent = &b;
    // A fresh copy of exactly the right size, so that a read past the end is
    // caught by the sanitizers rather than landing in the caller's buffer.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[b.size() ? b.size() : 1]);
    std::copy(b.begin(), b.end(), copy.get());
    LLVMFuzzerTestOneInput(copy.get(), b.size());
}

// Positions spread over the whole input, at most `limit` of them.
std::vector<size_t> positions(size_t n, size_t limit) {
    std::vector<size_t> out;
    if (n == 0) return out;
    const size_t step = std::max<size_t>(1, n / limit);
    for (size_t i = 0; i < n; i += step) out.push_back(i);
    if (out.back() != n - 1) out.push_back(n - 1);
    return out;
}

size_t mutate(const Bytes& seed) {
    size_t runs = 0;
    const size_t n = seed.size();
    // Truncations: every length of a short seed, a spread of lengths otherwise.
    for (size_t len : positions(n, 64)) {
        run(Bytes(seed.begin(), seed.begin() + long(len)));
        ++runs;
    }
    for (size_t i : positions(n, 96)) {
        Bytes b = seed;
        b[i] ^= uint8_t(1u << (i % 8));
        run(b);
        for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x7F), uint8_t(0x80)}) {
            b = seed;
            b[i] = v;
            run(b);
        }
        // A byte removed shifts every offset after it.
        b = seed;
        b.erase(b.begin() + long(i));
        run(b);
        runs += 6;
    }
    return runs;
}

}  // namespace

int main(int argc, char** argv) {
    qmtest::PrivateHome::enter();  // readers that keep state keep it there
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGABRT, SIGFPE}) std::signal(sig, saveCurrent);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus dir or file>...\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (auto& e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file()) files.push_back(e.path());
        } else {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    size_t runs = 0;
    for (auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        Bytes seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        run(seed);
        runs += 1 + mutate(seed);
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu inputs from %zu seeds in %.0f ms\n", runs, files.size(), ms);
    return 0;
}
