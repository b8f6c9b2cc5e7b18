// The full-battery sound: what loads, what plays, what is given back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/SoundEffect.h"
#include "platform/audio/AudioOutput.h"
#include "platform/audio/SystemSound.h"

namespace pa = platform::audio;
namespace fs = std::filesystem;

namespace {

struct Played {
    std::string name;
    double sampleRate;
    unsigned channels;
    size_t frames;
};

class RecordingOutput : public pa::AudioOutput {
public:
    explicit RecordingOutput(std::vector<Played>* log) : log_(log) {}
    void play(const std::string& name, const pa::PCMBuffer& sound) override {
        log_->push_back({name, sound.sampleRate, sound.channels, sound.frames()});
    }
    std::string description() const override { return "recording"; }

private:
    std::vector<Played>* log_;
};

class SoundEffectTest : public ::testing::Test {
protected:
    void SetUp() override {
        pa::AudioOutput::setCurrent(std::make_unique<RecordingOutput>(&played_));
        char pattern[] = "/tmp/qm-sound-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        pa::AudioOutput::setCurrent(nullptr);
        fs::remove_all(dir_);
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = (fs::path(dir_) / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static std::string chime() { return std::string(QM_BUNDLE_DIR) + "/a.caf"; }

    std::vector<Played> played_;
    std::string dir_;
};

TEST_F(SoundEffectTest, NothingToLoadGivesNoneAndRegistersNothing) {
    const size_t before = pa::SystemSound::count();
    EXPECT_EQ(SoundEffect::soundEffectWithContentsOfFile(std::nullopt), nullptr);
    EXPECT_EQ(SoundEffect::soundEffectWithContentsOfFile(std::string()), nullptr);
    EXPECT_EQ(SoundEffect::soundEffectWithContentsOfFile(dir_ + "/missing.caf"), nullptr);
    EXPECT_EQ(SoundEffect::soundEffectWithContentsOfFile(dir_), nullptr);  // a folder
    EXPECT_EQ(pa::SystemSound::count(), before);
}

TEST_F(SoundEffectTest, AFileThatIsNotASoundGivesNone) {
    const size_t before = pa::SystemSound::count();
    EXPECT_EQ(SoundEffect::soundEffectWithContentsOfFile(write("a.caf", "not a sound at all")), nullptr);
    // A CAF header that promises more than the file holds.
    std::string truncated("caff\0\1\0\0desc\0\0\0\0\0\0\0\x20", 20);
    EXPECT_EQ(SoundEffect::soundEffectWithContentsOfFile(write("short.caf", truncated)), nullptr);
    EXPECT_EQ(pa::SystemSound::count(), before);
}

TEST_F(SoundEffectTest, TheBundledChimePlaysAndIsDisposedWithItsObject) {
    const size_t before = pa::SystemSound::count();
    auto sound = SoundEffect::soundEffectWithContentsOfFile(chime());
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(pa::SystemSound::count(), before + 1);

    sound->play();
    ASSERT_EQ(played_.size(), 1u);
    EXPECT_EQ(played_[0].name, "a.caf");
    EXPECT_EQ(played_[0].sampleRate, 44100.0);
    EXPECT_EQ(played_[0].channels, 1u);
    EXPECT_GT(played_[0].frames, 44100u / 2);  // a chime, not a click

    const auto id = sound->soundID();
    sound.reset();
    EXPECT_EQ(pa::SystemSound::count(), before);
    pa::SystemSound::play(id);  // gone: nothing more is heard
    EXPECT_EQ(played_.size(), 1u);
}

TEST_F(SoundEffectTest, PathsWithSpacesAndPercentSignsLoad) {
    const std::string copy = (fs::path(dir_) / "full 100%41.caf").string();
    fs::copy_file(chime(), copy);
    auto sound = SoundEffect::soundEffectWithContentsOfFile(copy);
    ASSERT_NE(sound, nullptr);
    sound->play();
    ASSERT_EQ(played_.size(), 1u);
    EXPECT_EQ(played_[0].name, "full 100%41.caf");
}

}  // namespace
