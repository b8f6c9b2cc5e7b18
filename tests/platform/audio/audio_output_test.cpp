// The SDL2 output with SDL's file-writing driver standing in for a sound
// card: what a system sound plays arrives on the device, converted to its
// format, while play() has already returned.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/audio/AudioOutput.h"

using namespace platform::audio;
namespace fs = std::filesystem;

namespace {

// The device stream written so far, as float samples (the output asks for
// 32-bit float in the machine's byte order).
std::vector<float> deviceSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::copy(bytes.begin(), bytes.begin() + long(samples.size() * sizeof(float)),
              reinterpret_cast<char*>(samples.data()));
    return samples;
}

float peak(const std::vector<float>& s) {
    float p = 0;
    for (float v : s) p = std::max(p, std::fabs(v));
    return p;
}

}  // namespace

TEST(SDLAudioOutput, PlaysOnTheDeviceAsynchronouslyInItsFormat) {
    char tmpl[] = "/tmp/qm-audio-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    const std::string file = (dir / "device.raw").string();
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "1", 1);  // write buffers as fast as it can

    auto output = openSDLAudioOutput();
    ASSERT_TRUE(output) << "SDL has no file-writing audio driver";
    EXPECT_NE(output->description().find("disk"), std::string::npos) << output->description();

    // Before anything plays the device hears silence.
    const auto until = [](double seconds, auto done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    };
    ASSERT_TRUE(until(60, [&] { return deviceSamples(file).size() > 4096; }));
    EXPECT_EQ(peak(deviceSamples(file)), 0.0f);

    // A quarter second of a 441 Hz tone at half scale, mono at 22.05 kHz: the
    // device gets it resampled to its own rate, on both channels.
    PCMBuffer tone;
    tone.sampleRate = 22050;
    tone.channels = 1;
    for (int i = 0; i < 22050 / 4; ++i) tone.samples.push_back(0.5f * float(std::sin(2 * M_PI * 441 * i / 22050.0)));
    output->play("tone.caf", tone);

    ASSERT_TRUE(until(60, [&] { return peak(deviceSamples(file)) > 0.4f; })) << "the tone never reached the device";
    // Let it finish, then look at what was heard.
    const size_t heardBefore = deviceSamples(file).size();
    ASSERT_TRUE(until(60, [&] { return deviceSamples(file).size() > heardBefore + 44100; }));
    output.reset();
    const auto heard = deviceSamples(file);
    EXPECT_NEAR(peak(heard), 0.5f, 0.05f);
    // Loud samples span about a quarter second of stereo frames at the device rate.
    size_t first = heard.size(), last = 0;
    for (size_t i = 0; i < heard.size(); ++i)
        if (std::fabs(heard[i]) > 0.01f) {
            first = std::min(first, i);
            last = i;
        }
    ASSERT_LT(first, last);
    const double seconds = double(last - first) / 2.0 / 44100.0;
    EXPECT_NEAR(seconds, 0.25, 0.005);

    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
    unsetenv("SDL_DISKAUDIODELAY");
    fs::remove_all(dir);
}

// On a machine without the sound card asked for, standard error holds our one
// line and none of the sound library's own.
TEST(SDLAudioOutput, WithoutASoundCardOnlyOurLineIsWritten) {
    char tmpl[] = "/tmp/qm-audio-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    const std::string log = (dir / "stderr.txt").string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        setenv("SDL_AUDIODRIVER", "alsa", 1);
        setenv("ALSA_CARD", "97", 1);  // a card no machine has
        AudioOutput::setCurrent(nullptr);
        const bool silent = AudioOutput::current().description().find("SDL") == std::string::npos;
        _exit(silent ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "card 97 opened";
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines.front());
    EXPECT_NE(lines[0].find("System sounds play through the"), std::string::npos) << lines[0];
    fs::remove_all(dir);
}
